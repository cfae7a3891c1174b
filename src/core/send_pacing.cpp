#include "core/send_pacing.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/phase_alarm.h"
#include "core/receive_nap.h"
#include "core/run_config.h"

namespace {

constexpr int64_t NANOSECONDS_PER_SECOND = 1000000000;

int64_t now_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * NANOSECONDS_PER_SECOND + now.tv_nsec;
}

void sleep_until(int64_t when) {
    const timespec due{static_cast<time_t>(when / NANOSECONDS_PER_SECOND),
                       static_cast<long>(when % NANOSECONDS_PER_SECOND)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
}

}  // namespace

SendPacer::SendPacer(int32_t block_size, int64_t credit_bytes, int phase_seconds)
    : rate_(run_config.rate_bits_per_second) {
    if (rate_ <= 0) {
        return;
    }
    block_bits_ = int64_t{block_size} * 8;
    sent_bits_ = -credit_bytes * 8;
    most_behind_ = std::max(PACING_BURST_BLOCKS * pacing_due_nanoseconds(block_bits_, rate_),
                            PACING_CATCH_UP_NANOSECONDS);
    half_block_ = pacing_due_nanoseconds(block_bits_, rate_) / 2;
    start_ = now_nanoseconds();
    last_release_ = start_ - half_block_;
    planned_end_ = start_ + phase_seconds * NANOSECONDS_PER_SECOND;
    // Sleeps that end within a few microseconds of their time, not fifty later.
    tighten_timer_slack();
}

int pacing_blocks_due(int64_t sent_bits, int64_t block_bits, int64_t rate, int64_t elapsed,
                      int most) {
    int due = 1;
    while (due < most &&
           pacing_due_nanoseconds(sent_bits + (due + 1) * block_bits, rate) <= elapsed) {
        ++due;
    }
    return due;
}

void SendPacer::wait_for_block() {
    wait(true);
}

int SendPacer::wait_for_blocks(int most) {
    if (rate_ <= 0) {
        return most;
    }
    const int64_t now = wait(true);
    if (half_block_ >= PACING_SHORTEST_GAP_NANOSECONDS) {
        return 1;
    }
    return pacing_blocks_due(sent_bits_, block_bits_, rate_, now - start_,
                             std::min(most, PACING_BURST_BLOCKS));
}

void SendPacer::wait_for_final_block() {
    wait(false);
}

int64_t SendPacer::wait(bool until_alarm) {
    if (rate_ <= 0) {
        return 0;
    }
    const int64_t earned = sent_bits_ + block_bits_;
    int64_t now = now_nanoseconds();
    if (now - (start_ + pacing_due_nanoseconds(earned, rate_)) > most_behind_) {
        // Too far behind to catch up: what lies beyond is given up.
        start_ = now - most_behind_ - pacing_due_nanoseconds(earned, rate_);
    }
    int64_t due = start_ + pacing_due_nanoseconds(earned, rate_);
    if (half_block_ >= PACING_SHORTEST_GAP_NANOSECONDS) {
        // Behind, blocks go at twice the rate until the phase is back on schedule.
        due = std::max(due, last_release_ + half_block_);
    }
    while (now < due) {
        if (until_alarm && alarm_expired.load(std::memory_order_relaxed) != 0) {
            return now;
        }
        // Past the planned end, only the alarm is awaited, in short slices.
        const bool alarm_due = until_alarm && due > planned_end_;
        sleep_until(alarm_due
                        ? std::min(due, std::max(planned_end_, now + PACING_SLICE_NANOSECONDS))
                        : due);
        now = now_nanoseconds();
    }
    last_release_ = now;
    return now;
}
