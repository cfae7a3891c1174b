// The size label and rate texts every role prints.
#pragma once

#include <cstddef>
#include <cstdint>

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
};

RateInUnit rate_in_unit(int64_t bytes, int64_t ticks, UnitMode mode);

// Writes " <rate> <unit>/s" for bytes moved in ticks; empty for an unknown unit mode.
void format_rate(char (&text)[RATE_TEXT_SIZE], int64_t bytes, int64_t ticks, UnitMode mode);

// Prints the rate in run_config.unit_mode, without a newline.
void print_rate(int64_t bytes, int64_t ticks);

// A role's phase rate: the rate, or failed_text when the timer gave FAILED_TICKS.
void print_phase_rate(int64_t bytes, int64_t ticks, const char* failed_text);
