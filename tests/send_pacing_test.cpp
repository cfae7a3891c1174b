#include "core/send_pacing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/run_config.h"

namespace {

struct DueCase {
    int64_t rate;    // bits per second
    int32_t block;   // bytes
    int64_t blocks;  // sent so far
    int64_t expected_nanoseconds;
};

TEST(PacingArithmetic, BlocksAreDueWhenTheirBitsAreEarned) {
    const DueCase cases[] = {
        {1000000, 1024, 1, 8192000},  // 1 Mbit/s: a 1 KiB block every 8.192 ms
        {1000000, 32767, 1, 262136000},
        {50000000, 1024, 1, 163840},
        {1000000000, 1024, 1, 8192},
        {1000000000, 32767, 3, 786408},
        {3, 1, 1, 2666666666},             // rounds toward zero
        {1000000, 1024, 732, 5996544000},  // the last 1 KiB block of a 6 s phase
        // Long, fast phases: bits * 10^9 would overflow 64 bits.
        {1000000000000, 65536, 6866455078, 3599999999934},
        {1, 65536, 1, 524288000000000},
    };
    for (const DueCase& due : cases) {
        SCOPED_TRACE(testing::Message()
                     << due.rate << " bit/s, " << due.blocks << " x " << due.block);
        EXPECT_EQ(pacing_due_nanoseconds(due.blocks * due.block * 8, due.rate),
                  due.expected_nanoseconds);
    }
}

// Every block's time comes from the start: the n-th of a long phase is due at n times the
// block time, to the nanosecond, however many came before it.
TEST(PacingArithmetic, AnHourOfBlocksDoesNotDrift) {
    const struct {
        int64_t rate;
        int32_t block;
    } cases[] = {{1000000, 1024},
                 {20000000, 1400},
                 {1000000000, 1024},
                 {999999937, 32767},
                 {40000000000, 65536}};
    for (const auto& pace : cases) {
        SCOPED_TRACE(testing::Message() << pace.rate << " bit/s, " << pace.block);
        const double block_seconds = pace.block * 8.0 / static_cast<double>(pace.rate);
        const auto blocks = static_cast<int64_t>(3600.0 / block_seconds);
        int64_t previous = 0;
        for (const int64_t n : {int64_t{1}, blocks / 7, blocks / 2, blocks - 1, blocks}) {
            const int64_t due = pacing_due_nanoseconds(n * pace.block * 8, pace.rate);
            EXPECT_NEAR(static_cast<double>(due), static_cast<double>(n) * block_seconds * 1e9,
                        1.0);
            EXPECT_GE(due, previous);
            previous = due;
        }
    }
}

using Clock = std::chrono::steady_clock;

// 1250-byte blocks at 1 Mbit/s: one every 10 ms.
class PacerAfterAStall : public ::testing::Test {
   protected:
    void SetUp() override { run_config.rate_bits_per_second = 1000000; }
    void TearDown() override { run_config.rate_bits_per_second = 0; }

    // When each of count blocks was let go, after the sender was held up for stall.
    static std::vector<Clock::time_point> releases(std::chrono::milliseconds stall, int count) {
        SendPacer pacer(1250, 0, 60);
        std::this_thread::sleep_for(stall);
        std::vector<Clock::time_point> times;
        for (int i = 0; i < count; ++i) {
            // The final-block wait: another test may have left the phase alarm expired.
            pacer.wait_for_final_block();
            times.push_back(Clock::now());
            pacer.sent();
        }
        return times;
    }
};

// Held up for ten blocks' time, the sender catches up at twice the rate, never in a burst.
// Only lower bounds on the gaps: a slow machine makes them longer, never shorter.
TEST_F(PacerAfterAStall, CatchesUpAtTwiceTheRate) {
    const std::vector<Clock::time_point> times = releases(std::chrono::milliseconds(100), 12);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], std::chrono::microseconds(2500)) << "block " << i;
    }
}

// Held up far longer than it may catch up (500 ms against 200), the sender gives the rest
// up: in the 600 ms after the stall it sends 40 blocks 5 ms apart to repay 200 ms, then 40
// on schedule; repaying it all would make that 109. An upper bound on the count: a slow
// machine sends fewer.
TEST_F(PacerAfterAStall, GivesUpWhatIsOwedBeyondItsLimit) {
    const std::vector<Clock::time_point> times = releases(std::chrono::milliseconds(500), 90);
    const auto window_end = times.front() + std::chrono::milliseconds(600);
    int64_t within = 0;
    for (const Clock::time_point released : times) {
        within += released < window_end ? 1 : 0;
    }
    EXPECT_LE(within, 84);
    EXPECT_GE(within, 2);
}

}  // namespace

namespace {

// A sender that hands the kernel several blocks a call, released by the pacer in batches.
class PacerInBatches : public ::testing::Test {
   protected:
    void TearDown() override { run_config.rate_bits_per_second = 0; }

    struct Release {
        Clock::time_point at;
        int blocks;
        int64_t total;  // released so far, this batch included
    };

    // count batches of up to most blocks of size bytes at rate, after a stall.
    static std::vector<Release> releases(int64_t rate, int32_t size,
                                         std::chrono::milliseconds stall, int count, int most,
                                         Clock::time_point& start) {
        run_config.rate_bits_per_second = rate;
        start = Clock::now();
        SendPacer pacer(size, 0, 60);
        std::this_thread::sleep_for(stall);
        std::vector<Release> times;
        int64_t total = 0;
        for (int i = 0; i < count; ++i) {
            const int blocks = pacer.wait_for_blocks(most);
            total += blocks;
            times.push_back({Clock::now(), blocks, total});
            pacer.sent(blocks);
        }
        return times;
    }
};

// Blocks due every 8 us, closer than a sleep keeps: several go together, never more than a
// few, and never ahead of the schedule. Upper bounds only: a slow machine sends less.
TEST_F(PacerInBatches, FastBlocksGoTogetherButNeverAheadOfTheSchedule) {
    Clock::time_point start;
    const std::vector<Release> times =
        releases(1000000000, 1024, std::chrono::milliseconds(5), 2000, 63, start);
    for (const Release& release : times) {
        ASSERT_GE(release.blocks, 1);
        ASSERT_LE(release.blocks, PACING_BURST_BLOCKS);
        const auto earned =
            std::chrono::duration_cast<std::chrono::nanoseconds>(release.at - start).count() / 8192;
        ASSERT_LE(release.total, earned) << "at block " << release.total;
    }
}

// Blocks 10 ms apart can be kept apart: one at a time, also while catching up after a stall.
TEST_F(PacerInBatches, SlowBlocksGoOneAtATime) {
    Clock::time_point start;
    const std::vector<Release> times =
        releases(1000000, 1250, std::chrono::milliseconds(100), 12, 63, start);
    for (const Release& release : times) {
        EXPECT_EQ(release.blocks, 1) << "at block " << release.total;
    }
}

}  // namespace
