// Spacing the blocks of a sending phase to an average rate (--rate).
#pragma once

#include <cstdint>

// How far a phase may fall behind its schedule and still catch up. A sender held up for
// less (a sleep that ended late, the scheduler running something else for a while, as it
// does on a busy host) makes up for it at twice the rate, not in one burst, or the rate
// would fall short by every such delay; beyond that (a slower path, a full socket buffer)
// the schedule moves on. Never less than a few blocks.
constexpr int PACING_BURST_BLOCKS = 4;
constexpr int64_t PACING_CATCH_UP_NANOSECONDS = 200000000;
// Catching up at twice the rate takes sleeps of half a block's time; shorter ones end late
// by more than they last, and blocks that fast go back to back whatever the pacer does.
constexpr int64_t PACING_SHORTEST_GAP_NANOSECONDS = 50000;
// After the phase's planned end the pacer waits for its alarm in slices this long: the
// alarm may land on any thread.
constexpr int64_t PACING_SLICE_NANOSECONDS = 1000000;

// Nanoseconds from the phase start at which bits have been earned at rate bits per second.
// Scheduling every block from the start, never from the last send, keeps late wake-ups
// from adding up to a lower rate.
constexpr int64_t pacing_due_nanoseconds(int64_t bits, int64_t rate) {
    // Whole seconds first: bits * 10^9 would overflow on long, fast phases.
    return bits / rate * 1000000000 +
           static_cast<int64_t>(static_cast<double>(bits % rate) * 1e9 / static_cast<double>(rate));
}

// Of the next most blocks (at least one, the one just waited for), how many the schedule has
// earned elapsed nanoseconds after its start, with sent_bits already gone.
int pacing_blocks_due(int64_t sent_bits, int64_t block_bits, int64_t rate, int64_t elapsed,
                      int most);

// Paces one phase's blocks of one size at run_config.rate_bits_per_second; does nothing
// when no rate is set. A block goes out once the phase has earned its bits; credit is
// where the phase starts, in bytes already earned: 0 sends the first block one block's
// time after the start, half a block splits the difference.
class SendPacer {
   public:
    SendPacer(int32_t block_size, int64_t credit_bytes, int phase_seconds);

    // Waits until the next block is due; returns early once alarm_expired is set.
    void wait_for_block();
    // Waits until the next block is due, then says how many of the next most may go with it
    // in one call: those due by now, never more than PACING_BURST_BLOCKS, and only where
    // blocks are due closer together than a sleep can keep them apart; otherwise one at a
    // time, as a sender that falls behind then catches up at twice the rate, not in bursts.
    // Returns early once alarm_expired is set.
    int wait_for_blocks(int most);
    // Waits until the next block is due, whatever the alarm: the last block of a phase.
    void wait_for_final_block();
    // The blocks went out (or were given up): the next one is due a block later.
    void sent(int blocks = 1) { sent_bits_ += block_bits_ * blocks; }

    bool paced() const { return rate_ > 0; }

   private:
    // Returns when it let the block go; sets last_release_ to it.
    int64_t wait(bool until_alarm);

    int64_t rate_ = 0;
    int64_t block_bits_ = 0;
    int64_t sent_bits_ = 0;  // since the start, less the credit
    int64_t start_ = 0;      // monotonic nanoseconds at which no bits were earned
    int64_t planned_end_ = 0;
    int64_t most_behind_ = 0;
    int64_t half_block_ = 0;    // nanoseconds: blocks never follow closer while catching up
    int64_t last_release_ = 0;  // when the last block was let go
};
