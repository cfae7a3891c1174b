// The size label and rate texts every role prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/run_config.h"

constexpr size_t SIZE_LABEL_SIZE = 16;
constexpr size_t RATE_TEXT_SIZE = 64;

// Formats size into this thread's label buffer and returns it: "%2dk" for sizes at or one
// below a multiple of 1024, else "%d".
const char* make_size_label(int32_t size);

// A rate in the unit a text line shows it in; unit and format are null for an unknown mode.
struct RateInUnit {
    double value = 0.0;
    const char* unit = nullptr;    // "MByte/s"
    const char* format = nullptr;  // " %0.2f MByte/s"
    const char* number = nullptr;  // " %0.2f": another figure in the same unit
    double scale = 0.0;            // of a figure in bytes per second, into the unit
};

RateInUnit rate_in_unit(int64_t bytes, int64_t ticks, UnitMode mode);

// The rate of part of a phase, over seconds. Chosen automatically, its unit is the one a
// whole phase at that rate would be shown in, so that a steady stream keeps one unit.
RateInUnit rate_over(int64_t bytes, double seconds, UnitMode mode);

// A rate in bytes per second as rate_over shows it.
RateInUnit rate_of(double bytes_per_second, UnitMode mode);

// Writes " <rate> <unit>/s" for bytes moved in ticks; empty for an unknown unit mode.
void format_rate(char (&text)[RATE_TEXT_SIZE], int64_t bytes, int64_t ticks, UnitMode mode);
void format_rate_over(char (&text)[RATE_TEXT_SIZE], int64_t bytes, double seconds, UnitMode mode);

// Prints the rate in run_config.unit_mode, without a newline.
void print_rate(FILE* out, int64_t bytes, int64_t ticks);

// A role's phase rate: the rate, or failed_text when the timer gave FAILED_TICKS.
void print_phase_rate(FILE* out, int64_t bytes, int64_t ticks, const char* failed_text);

// Where a role writes the parts of a result line. While interval lines may come between
// the parts, they are gathered and printed whole when the line is released, so that the
// line stays the same and on its own.
class ResultLine {
   public:
    ResultLine();
    ResultLine(const ResultLine&) = delete;
    ResultLine& operator=(const ResultLine&) = delete;
    ~ResultLine() { release(); }

    FILE* out() const { return out_; }

    // Prints what was gathered; later parts go straight to standard output.
    void release();

   private:
    FILE* out_ = stdout;
    char* gathered_ = nullptr;
    size_t size_ = 0;
};
