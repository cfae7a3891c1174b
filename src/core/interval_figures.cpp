#include "core/interval_figures.h"

#include <cstdio>

#include "core/figure_fields.h"
#include "core/report.h"

namespace {

constexpr double MICROSECONDS_PER_SECOND = 1e6;

double seconds(int64_t microseconds) {
    return static_cast<double>(microseconds) / MICROSECONDS_PER_SECOND;
}

}  // namespace

IntervalLabel make_interval_label(int32_t size, bool sending) {
    IntervalLabel label;
    snprintf(label.text, sizeof label.text, "[%s %s]", make_size_label(size),
             sending ? "Tx" : "Rx");
    return label;
}

void print_interval(const IntervalLabel& label, const IntervalFigures& interval, bool tcp_sending) {
    const double length = seconds(interval.end_microseconds - interval.start_microseconds);
    char rate[RATE_TEXT_SIZE];
    format_rate_over(rate, interval.bytes, length, run_config.unit_mode);
    // A server's lines begin with their line break, a client's end with it.
    const bool server = run_config.server_mode != 0;
    printf("%s%s %6.2f-%6.2f s %12lld bytes %s", server ? "\n" : "", label.text,
           seconds(interval.start_microseconds), seconds(interval.end_microseconds),
           static_cast<long long>(interval.bytes), rate);
    bool first = false;
    if (interval.datagrams) {
        print_field(first, "datagrams", interval.datagrams, 1.0, "%.0f", "");
    }
    if (tcp_sending) {
        print_field(first, "retransmits", interval.retransmits, 1.0, "%.0f", "");
        print_field(first, "rtt", interval.rtt_ms, 1.0, "%.3f", " ms");
        print_field(first, "cwnd", interval.cwnd_bytes, 1.0 / 1024.0, "%.1f", " KByte");
    }
    if (!server) {
        putchar('\n');
    }
    fflush(stdout);
}

nlohmann::ordered_json interval_json(const IntervalFigures& interval, bool tcp_sending) {
    const double length = seconds(interval.end_microseconds - interval.start_microseconds);
    const RateInUnit rate = rate_over(interval.bytes, length, run_config.unit_mode);
    nlohmann::ordered_json document = {
        {"start", seconds(interval.start_microseconds)},
        {"end", seconds(interval.end_microseconds)},
        {"bytes", interval.bytes},
        {"bytes_per_second",
         length > 0 ? nlohmann::ordered_json(static_cast<double>(interval.bytes) / length)
                    : nlohmann::ordered_json(nullptr)},
        {"rate", length > 0 ? nlohmann::ordered_json(rate.value) : nlohmann::ordered_json(nullptr)},
        {"unit", rate.unit == nullptr ? nlohmann::ordered_json(nullptr)
                                      : nlohmann::ordered_json(rate.unit)},
    };
    if (interval.datagrams) {
        document["datagrams"] = *interval.datagrams;
    }
    if (tcp_sending) {
        document["retransmits"] = value_or_null(interval.retransmits);
        document["rtt_ms"] = value_or_null(interval.rtt_ms);
        document["cwnd_bytes"] = value_or_null(interval.cwnd_bytes);
    }
    return document;
}
