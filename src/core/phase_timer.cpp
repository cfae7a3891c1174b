#include "core/phase_timer.h"

#include <ctime>

namespace {

// Monotonic, so a wall-clock step during a phase cannot distort the rate.
PhaseTimer now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return PhaseTimer{time.tv_sec, time.tv_nsec / 1000};
}

}  // namespace

void timer_start(PhaseTimer& timer) {
    timer = now();
}

int64_t timer_stop(const PhaseTimer& timer) {
    return ticks_between(timer, now());
}

int64_t ticks_between(const PhaseTimer& start, const PhaseTimer& now) {
    return (now.seconds - start.seconds) * TICKS_PER_SECOND +
           ((now.microseconds - start.microseconds) * TICKS_PER_SECOND) / 1000000;
}
