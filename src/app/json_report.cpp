#include "app/json_report.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cmath>
#include <string_view>

#include "app/command_line.h"
#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/run_record.h"

namespace {

int kept_stdout = -1;

constexpr const char* UNIT_MODE_NAMES[] = {"auto", "bytes", "kbytes", "mbytes", "gbytes"};

// Length of the valid UTF-8 sequence at text, or 0 when the bytes there are not one.
size_t utf8_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t length = 0;
    unsigned minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        minimum = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        minimum = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    unsigned code = lead & (0x7fU >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3fU);
    }
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return code >= minimum && code <= 0x10ffff && !surrogate ? length : 0;
}

// A JSON string: quotes, backslashes and control characters escaped; bytes that are not
// UTF-8 become U+FFFD so the document stays valid whatever was typed.
void write_string(FILE* out, const char* text) {
    if (text == nullptr) {
        fputs("null", out);
        return;
    }
    std::string_view rest(text);
    fputc('"', out);
    while (!rest.empty()) {
        const auto byte = static_cast<unsigned char>(rest[0]);
        if (byte == '"' || byte == '\\') {
            fprintf(out, "\\%c", byte);
        } else if (byte < 0x20 || byte == 0x7f) {
            fprintf(out, "\\u%04x", byte);
        } else if (byte < 0x80) {
            fputc(byte, out);
        } else if (const size_t length = utf8_length(rest); length > 0) {
            fwrite(rest.data(), 1, length, out);
            rest.remove_prefix(length - 1);
        } else {
            fputs("\\ufffd", out);
        }
        rest.remove_prefix(1);
    }
    fputc('"', out);
}

// A finite number, or null: JSON has no infinity.
void write_number(FILE* out, double value, const char* format) {
    if (std::isfinite(value)) {
        fprintf(out, format, value);
    } else {
        fputs("null", out);
    }
}

void write_phase(FILE* out, const PhaseRecord& phase) {
    if (!phase.measured) {
        fputs("null", out);
        return;
    }
    const bool failed = phase.ticks == FAILED_TICKS;
    fprintf(out, "{\"failed\": %s, \"bytes\": %lld, \"ticks\": %lld, \"seconds\": ",
            failed ? "true" : "false", static_cast<long long>(phase.bytes),
            static_cast<long long>(phase.ticks));
    const double seconds = static_cast<double>(phase.ticks) / TICKS_PER_SECOND;
    write_number(out, failed ? NAN : seconds, "%.6f");
    fputs(", \"bytes_per_second\": ", out);
    write_number(out, failed ? NAN : static_cast<double>(phase.bytes) / seconds, "%.3f");
    const RateInUnit rate = rate_in_unit(phase.bytes, phase.ticks, run_config.unit_mode);
    fputs(", \"rate\": ", out);
    write_number(out, failed ? NAN : rate.value, "%.6f");
    fputs(", \"unit\": ", out);
    write_string(out, rate.unit);
    if (phase.has_loss) {
        fprintf(out, ", \"loss_percent\": %lld", static_cast<long long>(phase.loss_percent));
    }
    fputc('}', out);
}

bool run_completed() {
    const int64_t expected = run_config.sizes.count;
    return run_record.connected && run_record.count == expected &&
           run_record.sizes[expected - 1].rx.measured;
}

}  // namespace

void write_json_report(FILE* out, const char* server_given, const char* failure) {
    char resolved[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &run_config.server_address, resolved, sizeof resolved);
    const bool tcp = run_config.tcp_enabled != 0;
    const std::string_view version = version_text();
    fprintf(out, "{\n  \"program\": \"flenko\",\n  \"version\": \"%.*s\",\n",
            static_cast<int>(version.size()), version.data());
    fprintf(out, "  \"protocol\": \"%s\",\n  \"server\": {\"given\": ", tcp ? "tcp" : "udp");
    write_string(out, server_given);
    fputs(", \"resolved\": ", out);
    write_string(out, failure == nullptr ? resolved : nullptr);
    const int unit = run_config.unit_mode;
    fprintf(out, "},\n  \"port\": %d,\n  \"phase_seconds\": %d,\n  \"unit_mode\": \"%s\",\n",
            tcp ? run_config.tcp_port : run_config.udp_port, run_config.phase_seconds,
            UNIT_MODE_NAMES[unit]);
    const bool completed = failure == nullptr && run_completed();
    if (failure == nullptr && !completed) {
        failure = run_record.connected ? "the run ended early" : "no connection to the server";
    }
    fprintf(out, "  \"completed\": %s,\n  \"ended_early\": ", completed ? "true" : "false");
    write_string(out, failure);
    fputs(",\n  \"results\": [", out);
    for (int64_t i = 0; i < run_record.count; ++i) {
        const SizeRecord& record = run_record.sizes[i];
        fprintf(out, "%s\n    {\"block_size\": %d, \"label\": ", i == 0 ? "" : ",", record.size);
        write_string(out, make_size_label(record.size));
        fputs(",\n     \"tx\": ", out);
        write_phase(out, record.tx);
        fputs(",\n     \"rx\": ", out);
        write_phase(out, record.rx);
        fputc('}', out);
    }
    fputs(run_record.count > 0 ? "\n  ]\n}\n" : "]\n}\n", out);
}

void begin_json_output() {
    fflush(stdout);
    kept_stdout = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

void finish_json_output(const char* server_given, const char* failure) {
    fflush(stdout);
    FILE* out = fdopen(kept_stdout, "w");
    if (out == nullptr) {
        perror("fdopen()");
        return;
    }
    write_json_report(out, server_given, failure);
    fclose(out);
}
