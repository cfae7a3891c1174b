#include "core/report.h"

#include <cstdio>
#include <cstdlib>

#include "core/phase_timer.h"

namespace {

// One label per thread, so two server roles formatting at once keep their own text.
thread_local char size_label[SIZE_LABEL_SIZE];

struct UnitFormat {
    const char* format;
    const char* unit;
    const char* number;
    double scale;  // applied to KiB per second
};

constexpr UnitFormat UNIT_FORMATS[] = {
    {"", "", "", 0.0},  // UNIT_AUTO never reaches this table
    {" %0.0f Byte/s", "Byte/s", " %0.0f", 1024.0},
    {" %0.2f KByte/s", "KByte/s", " %0.2f", 1.0},
    {" %0.2f MByte/s", "MByte/s", " %0.2f", 1.0 / 1024.0},
    {" %0.3f GByte/s", "GByte/s", " %0.3f", 1.0 / (1024.0 * 1024.0)},
};

// Automatic choice: the first unit whose byte bound the phase's count stays below.
struct AutoBound {
    int64_t below;
    UnitMode mode;
};

constexpr AutoBound AUTO_BOUNDS[] = {
    {61440, UNIT_BYTES},
    {62914560, UNIT_KBYTES},
    {6442450944, UNIT_MBYTES},
};

UnitMode automatic_unit(int64_t bytes) {
    for (const AutoBound& bound : AUTO_BOUNDS) {
        if (bytes < bound.below) {
            return bound.mode;
        }
    }
    return UNIT_GBYTES;
}

RateInUnit rate_in_mode(double kib_per_second, UnitMode mode) {
    if (mode < UNIT_BYTES || mode > UNIT_GBYTES) {
        return RateInUnit{};
    }
    const UnitFormat& unit = UNIT_FORMATS[mode];
    return RateInUnit{kib_per_second * unit.scale, unit.unit, unit.format, unit.number,
                      unit.scale / 1024.0};
}

void format_in_unit(char (&text)[RATE_TEXT_SIZE], const RateInUnit& rate) {
    text[0] = '\0';
    if (rate.format != nullptr) {
        snprintf(text, sizeof text, rate.format, rate.value);
    }
}

}  // namespace

const char* make_size_label(int32_t size) {
    const int32_t remainder = size % 1024;
    if (remainder == 0 || remainder == 1023) {
        snprintf(size_label, sizeof size_label, "%2dk", (size + 512) / 1024);
    } else {
        snprintf(size_label, sizeof size_label, "%d", size);
    }
    return size_label;
}

RateInUnit rate_in_unit(int64_t bytes, int64_t ticks, UnitMode mode) {
    if (mode == UNIT_AUTO) {
        mode = automatic_unit(bytes);
    }
    return rate_in_mode(static_cast<double>(bytes) / static_cast<double>(ticks), mode);
}

RateInUnit rate_over(int64_t bytes, double seconds, UnitMode mode) {
    return rate_of(static_cast<double>(bytes) / seconds, mode);
}

RateInUnit rate_of(double bytes_per_second, UnitMode mode) {
    if (mode == UNIT_AUTO) {
        mode = automatic_unit(
            static_cast<int64_t>(bytes_per_second * static_cast<double>(run_config.phase_seconds)));
    }
    return rate_in_mode(bytes_per_second / 1024.0, mode);
}

void format_rate(char (&text)[RATE_TEXT_SIZE], int64_t bytes, int64_t ticks, UnitMode mode) {
    format_in_unit(text, rate_in_unit(bytes, ticks, mode));
}

void format_rate_over(char (&text)[RATE_TEXT_SIZE], int64_t bytes, double seconds, UnitMode mode) {
    format_in_unit(text, rate_over(bytes, seconds, mode));
}

void print_rate(FILE* out, int64_t bytes, int64_t ticks) {
    char text[RATE_TEXT_SIZE];
    format_rate(text, bytes, ticks, run_config.unit_mode);
    fputs(text, out);
}

void print_phase_rate(FILE* out, int64_t bytes, int64_t ticks, const char* failed_text) {
    if (ticks == FAILED_TICKS) {
        fputs(failed_text, out);
    } else {
        print_rate(out, bytes, ticks);
    }
}

ResultLine::ResultLine() {
    if (run_config.interval_microseconds > 0) {
        FILE* gathering = open_memstream(&gathered_, &size_);
        // Without the memory, the parts go out as they come: interval lines may split them.
        if (gathering != nullptr) {
            out_ = gathering;
        }
    }
}

void ResultLine::release() {
    if (out_ == stdout) {
        return;
    }
    fclose(out_);
    out_ = stdout;
    fwrite(gathered_, 1, size_, stdout);
    fflush(stdout);
    free(gathered_);
    gathered_ = nullptr;
}
