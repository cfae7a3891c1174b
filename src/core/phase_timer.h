// Phase timing in ticks of 1/1024 second.
#pragma once

#include <cstdint>

constexpr int64_t TICKS_PER_SECOND = 1024;

// A tick count of exactly this value marks a failed measurement.
constexpr int64_t FAILED_TICKS = -1;

struct PhaseTimer {
    int64_t seconds = 0;
    int64_t microseconds = 0;
};

void timer_start(PhaseTimer& timer);
// Ticks elapsed since timer_start.
int64_t timer_stop(const PhaseTimer& timer);

// The tick arithmetic alone: whole seconds, then the microsecond difference truncated.
int64_t ticks_between(const PhaseTimer& start, const PhaseTimer& now);
