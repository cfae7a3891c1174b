// How many datagrams one sending call carries, and how many a received train holds.
#include "udp/datagram_batch.h"

#include <gtest/gtest.h>

#include "core/send_pacing.h"

namespace {

struct CapacityCase {
    int size;
    int mtu;
    bool ipv4;
    int expected;
};

TEST(BatchCapacity, FitsThePathTheDatagramCapAndTheLargestSend) {
    const CapacityCase cases[] = {
        {1024, 1500, false, 63},  // 64 would be 65536 bytes, past the largest send
        {1024, 9000, false, 63},  {1023, 9000, false, 64},
        {1000, 9000, false, 64},  // 65 fit in bytes: the datagram cap holds
        {1, 1500, false, 64},     {24, 1500, false, 64},
        {1452, 1500, false, 45},  // the largest that fits IPv6 and UDP headers in 1500
        {1453, 1500, false, 1},   // one byte more would be fragmented: one per call
        {1472, 1500, true, 44},   // IPv4's headers are 20 bytes shorter
        {1472, 1500, false, 1},   {1473, 1500, true, 1},
        {8192, 9000, false, 7},   {8192, 1500, false, 1},
        {8952, 9000, false, 7},   {16384, 9000, false, 1},
        {32767, 65536, false, 1},                       // two would not fit one send
        {65536, 65536, false, 1}, {1024, 0, false, 1},  // path MTU unknown
        {0, 1500, false, 1},
    };
    for (const CapacityCase& batch : cases) {
        SCOPED_TRACE(testing::Message() << batch.size << " bytes, MTU " << batch.mtu
                                        << (batch.ipv4 ? ", IPv4" : ", IPv6"));
        EXPECT_EQ(batch_capacity(batch.size, batch.mtu, batch.ipv4), batch.expected);
    }
}

// Whatever the size and path, a batch stays within what the kernel takes in one send.
TEST(BatchCapacity, NeverExceedsOneSend) {
    for (const int mtu : {1280, 1500, 9000, 65536}) {
        for (int size = 1; size <= 65536; ++size) {
            const int count = batch_capacity(size, mtu, false);
            ASSERT_GE(count, 1) << size << " at MTU " << mtu;
            ASSERT_LE(count, BATCH_MOST_DATAGRAMS) << size << " at MTU " << mtu;
            if (count > 1) {
                ASSERT_LE(count * size, BATCH_MOST_BYTES) << size << " at MTU " << mtu;
                ASSERT_LE(size + UDP_IPV6_HEADERS, mtu) << size << " at MTU " << mtu;
            }
        }
    }
}

struct TrainCase {
    int64_t length;
    int segment;
    int64_t expected;
};

TEST(TrainCounting, ATrainCountsTheDatagramsItHolds) {
    const TrainCase cases[] = {
        {64512, 1024, 63}, {63588, 1024, 63},  // 62 KiB and 100 bytes: a last short datagram counts
                                               // one
        {2904, 1452, 2},   {57344, 8192, 7},  {1024, 1024, 1},
        {1, 1024, 1},      {1024, 0, 1},  // no segment size: a datagram as any other
        {1, 0, 1},         {65535, 0, 1},     {0, 0, 0},  // empty datagrams are not counted
        {0, 1024, 0},
    };
    for (const TrainCase& train : cases) {
        SCOPED_TRACE(testing::Message()
                     << train.length << " bytes in segments of " << train.segment);
        EXPECT_EQ(datagrams_in_train(train.length, train.segment), train.expected);
    }
}

struct DueCase {
    const char* name;
    int64_t sent_blocks;
    int64_t elapsed_nanoseconds;
    int most;
    int expected;
};

// 1 KiB blocks at 1 Gbit/s: one is due every 8192 ns, as many as its bits.
TEST(PacedBatch, HoldsTheBlocksDueUpToTheMostAsked) {
    constexpr int64_t BLOCK_BITS = 8192;
    constexpr int64_t RATE = 1000000000;
    const DueCase cases[] = {
        {"the one waited for", 0, BLOCK_BITS, 4, 1},
        {"just short of the second", 0, 2 * BLOCK_BITS - 1, 4, 1},
        {"three due", 0, 3 * BLOCK_BITS, 4, 3},
        {"far behind: capped", 0, 100 * BLOCK_BITS, 4, 4},
        {"capped by the batch", 0, 100 * BLOCK_BITS, 2, 2},
        {"one asked", 0, 100 * BLOCK_BITS, 1, 1},
        {"later in the phase", 1000, 1003 * BLOCK_BITS, 4, 3},
        {"on schedule", 1000, 1001 * BLOCK_BITS + 10, 4, 1},
    };
    for (const DueCase& due : cases) {
        SCOPED_TRACE(due.name);
        EXPECT_EQ(pacing_blocks_due(due.sent_blocks * BLOCK_BITS, BLOCK_BITS, RATE,
                                    due.elapsed_nanoseconds, due.most),
                  due.expected);
    }
}

}  // namespace
