#include "udp/datagram_order.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "udp/datagram_header.h"

namespace {

TEST(DatagramHeader, ReadsBackWhatWasWrittenAndNothingElse) {
    std::vector<unsigned char> block(1024, 0xa5);
    block[0] = 0;
    EXPECT_FALSE(read_datagram_header(block.data(), block.size()));  // random bytes: no header

    write_datagram_marker(block.data());
    const int64_t before = real_time_nanoseconds();
    write_datagram_header(block.data(), 0x0102030405060708);
    const int64_t after = real_time_nanoseconds();
    const auto header = read_datagram_header(block.data(), block.size());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->sequence, 0x0102030405060708);
    EXPECT_GE(header->sent_nanoseconds, before);
    EXPECT_LE(header->sent_nanoseconds, after);
    // Network byte order, after a first byte that stays 0.
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[8], 0x01);
    EXPECT_EQ(block[15], 0x08);
    EXPECT_EQ(block[DATAGRAM_HEADER_SIZE], 0xa5);

    EXPECT_FALSE(read_datagram_header(block.data(), DATAGRAM_HEADER_SIZE - 1));  // cut short
    block[3] ^= 1;
    EXPECT_FALSE(read_datagram_header(block.data(), block.size()));  // marker altered
    EXPECT_FALSE(has_room_for_header(DATAGRAM_HEADER_SIZE - 1));
    EXPECT_TRUE(has_room_for_header(DATAGRAM_HEADER_SIZE));
}

struct OrderCase {
    const char* name;
    std::vector<int64_t> arrivals;  // sequence numbers in order of arrival
    bool known;
    int64_t lost;
    int64_t out_of_order;
    int64_t duplicates;
};

void PrintTo(const OrderCase& order, std::ostream* out) {
    *out << order.name;
}

class DatagramOrderArithmetic : public ::testing::TestWithParam<OrderCase> {};

TEST_P(DatagramOrderArithmetic, CountsLossReorderingAndDuplicates) {
    const OrderCase& order = GetParam();
    DatagramOrder tracker;
    for (const int64_t sequence : order.arrivals) {
        tracker.arrived(sequence, 0, 0);
    }
    const DatagramOrderFigures figures = tracker.figures();
    EXPECT_EQ(figures.known, order.known);
    EXPECT_EQ(figures.lost_by_sequence, order.lost);
    EXPECT_EQ(figures.out_of_order, order.out_of_order);
    EXPECT_EQ(figures.duplicates, order.duplicates);
}

constexpr int64_t FAR = LARGEST_SEQUENCE_JUMP;

INSTANTIATE_TEST_SUITE_P(
    Arrivals, DatagramOrderArithmetic,
    ::testing::Values(
        OrderCase{"nothing", {}, false, 0, 0, 0},
        OrderCase{"in order", {0, 1, 2, 3}, true, 0, 0, 0},
        OrderCase{"first ones lost", {2, 3}, true, 2, 0, 0},
        OrderCase{"gaps", {0, 2, 5}, true, 3, 0, 0},
        // A late one fills its gap: not lost, but out of order.
        OrderCase{"swapped", {0, 2, 1, 3}, true, 0, 1, 0},
        OrderCase{"late after many", {1, 2, 3, 4, 0}, true, 0, 1, 0},
        OrderCase{"duplicate in order", {0, 1, 1, 2}, true, 0, 0, 1},
        OrderCase{"duplicate of a late one", {0, 2, 1, 1}, true, 0, 1, 1},
        OrderCase{"tripled", {0, 0, 0}, true, 0, 0, 2},
        // Absurd numbers count as arrived elsewhere, but not here.
        OrderCase{"negative", {0, -1, 1}, true, 0, 0, 0},
        OrderCase{"far ahead", {0, 1, FAR + 2, 2}, true, 0, 0, 0},
        OrderCase{"far ahead first", {FAR + 1, 0}, true, 0, 0, 0},
        OrderCase{"largest", {0, INT64_MAX, 1}, true, 0, 0, 0},
        OrderCase{"only absurd", {-5, FAR * 4}, false, 0, 0, 0},
        // Jumps within the limit are losses, however many.
        OrderCase{"long loss burst", {0, FAR}, true, FAR - 1, 0, 0},
        // Behind the window a number cannot be told from a duplicate: left out.
        OrderCase{"too late", {0, ORDER_WINDOW + 5, 3}, true, ORDER_WINDOW + 4, 0, 0},
        OrderCase{"late within the window", {0, ORDER_WINDOW - 1, 1}, true, ORDER_WINDOW - 3, 1, 0},
        // A number seen before the window moved on over it is forgotten with it.
        OrderCase{"window wraps",
                  {0, 1, ORDER_WINDOW + 1, ORDER_WINDOW + 1, ORDER_WINDOW + 2},
                  true,
                  ORDER_WINDOW - 1,
                  0,
                  1}),
    [](const testing::TestParamInfo<OrderCase>& info) {
        std::string name = info.param.name;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
        }
        return name;
    });

// The slot of a number that has not come yet must read as unseen even where an older
// number of the same slot was seen: otherwise its arrival would count as a duplicate.
TEST(DatagramOrder, SlotsReusedAfterAWrapStartUnseen) {
    DatagramOrder tracker;
    for (int64_t sequence = 0; sequence < ORDER_WINDOW; ++sequence) {
        tracker.arrived(sequence, 0, 0);
    }
    // Skip ahead by less than a window, then fill the gap out of order.
    tracker.arrived(ORDER_WINDOW + 100, 0, 0);
    for (int64_t sequence = ORDER_WINDOW; sequence < ORDER_WINDOW + 100; ++sequence) {
        tracker.arrived(sequence, 0, 0);
    }
    const DatagramOrderFigures figures = tracker.figures();
    EXPECT_EQ(figures.lost_by_sequence, 0);
    EXPECT_EQ(figures.out_of_order, 100);
    EXPECT_EQ(figures.duplicates, 0);
}

struct Arrival {
    int64_t sequence;
    int64_t sent;
    int64_t received;
};

struct JitterCase {
    const char* name;
    std::vector<Arrival> arrivals;
    double jitter_ms;
};

// RFC 3550 6.4.1: J += (|D| - J) / 16, D the change of transit time from the datagram that
// arrived before; worked by hand.
TEST(DatagramOrder, JitterFollowsTheTransitTimes) {
    const JitterCase cases[] = {
        {"one datagram", {{0, 5, 1000}}, 0.0},
        {"steady transit", {{0, 0, 700000}, {1, 1000000, 1700000}, {2, 2000000, 2700000}}, 0.0},
        // Clocks need not agree: a constant offset changes nothing.
        {"offset clocks", {{0, -900000000000, 50}, {1, -899999000000, 1000050}}, 0.0},
        // One change of 1.6 ms: 1.6 / 16.
        {"one step", {{0, 0, 1000000}, {1, 1000000, 3600000}}, 0.1},
        // Then back: 0.1 + (1.6 - 0.1) / 16 = 0.19375.
        {"step and back", {{0, 0, 1000000}, {1, 1000000, 3600000}, {2, 2000000, 3000000}}, 0.19375},
        // Order of arrival, not of sequence: the late one (transit 2 ms) is compared with
        // the one that came before it (1 ms): 1 / 16.
        {"reordered", {{0, 0, 1000000}, {2, 2000000, 3000000}, {1, 1000000, 3000000}}, 0.0625},
        // Duplicates and absurd numbers are not looked at.
        {"duplicate ignored", {{0, 0, 1000000}, {0, 0, 9000000}, {1, 1000000, 2000000}}, 0.0},
        {"absurd ignored", {{0, 0, 1000000}, {-1, 0, 9000000}, {1, 1000000, 2000000}}, 0.0},
        // Send times a peer makes up wrap around instead of overflowing.
        {"extreme times", {{0, INT64_MIN, INT64_MAX}, {1, INT64_MIN, INT64_MAX}}, 0.0},
    };
    for (const JitterCase& jitter : cases) {
        SCOPED_TRACE(jitter.name);
        DatagramOrder tracker;
        for (const Arrival& arrival : jitter.arrivals) {
            tracker.arrived(arrival.sequence, arrival.sent, arrival.received);
        }
        EXPECT_NEAR(tracker.figures().jitter_ms, jitter.jitter_ms, 1e-9);
    }
}

TEST(DatagramOrder, ResetStartsAPhaseAfresh) {
    DatagramOrder tracker;
    for (const int64_t sequence : {0, 5, 5, 2}) {
        tracker.arrived(sequence, 0, sequence * 1000);
    }
    tracker.reset();
    EXPECT_FALSE(tracker.figures().known);
    for (const int64_t sequence : {0, 1, 2}) {
        tracker.arrived(sequence, sequence, sequence);
    }
    const DatagramOrderFigures figures = tracker.figures();
    EXPECT_TRUE(figures.known);
    EXPECT_EQ(figures.lost_by_sequence, 0);
    EXPECT_EQ(figures.out_of_order, 0);
    EXPECT_EQ(figures.duplicates, 0);
    EXPECT_EQ(figures.jitter_ms, 0.0);
}

}  // namespace
