// What moved in each interval of a phase (--interval).
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>

struct IntervalFigures {
    int64_t start_microseconds = 0;  // from the phase start
    int64_t end_microseconds = 0;
    int64_t bytes = 0;
    std::optional<int64_t> datagrams;    // datagram phases
    std::optional<int64_t> retransmits;  // TCP phases this process sends: in the interval
    std::optional<double> rtt_ms;        // and at its end
    std::optional<int64_t> cwnd_bytes;
};

struct IntervalLabel {
    char text[24] = "";  // "[ 1k Tx]"
};

IntervalLabel make_interval_label(int32_t size, bool sending);

// One line of its own: "[ 1k Tx]   1.00-  2.00 s  12345678 bytes  11.77 MByte/s, ...".
// tcp_sending adds TCP's fields.
void print_interval(const IntervalLabel& label, const IntervalFigures& interval, bool tcp_sending);

nlohmann::ordered_json interval_json(const IntervalFigures& interval, bool tcp_sending);
