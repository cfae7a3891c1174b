#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "core/send_pacing.h"

namespace {

struct DueCase {
    int64_t rate;   // bits per second
    int32_t block;  // bytes
    int64_t blocks; // sent so far
    int64_t expected_nanoseconds;
};

TEST(PacingArithmetic, BlocksAreDueWhenTheirBitsAreEarned) {
    const DueCase cases[] = {
        {1000000, 1024, 1, 8192000},              // 1 Mbit/s: a 1 KiB block every 8.192 ms
        {1000000, 32767, 1, 262136000},
        {50000000, 1024, 1, 163840},
        {1000000000, 1024, 1, 8192},
        {1000000000, 32767, 3, 786408},
        {3, 1, 1, 2666666666},                    // rounds toward zero
        {1000000, 1024, 732, 5996544000},         // the last 1 KiB block of a 6 s phase
        // Long, fast phases: bits * 10^9 would overflow 64 bits.
        {1000000000000, 65536, 6866455078, 3599999999934},
        {1, 65536, 1, 524288000000000},
    };
    for (const DueCase& due : cases) {
        SCOPED_TRACE(testing::Message() << due.rate << " bit/s, " << due.blocks << " x "
                                        << due.block);
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
    } cases[] = {{1000000, 1024}, {20000000, 1400}, {1000000000, 1024}, {999999937, 32767},
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

}  // namespace
