// What the sequence numbers and send times of a phase's datagrams tell: loss, reordering,
// duplicates and jitter.
#pragma once

#include <array>
#include <cstdint>

#include "core/datagram_order_figures.h"

// Sequence numbers remembered behind the highest one seen: a datagram further behind
// cannot be told from a duplicate.
constexpr int64_t ORDER_WINDOW = int64_t{1} << 16;
// A jump ahead of the highest sequence number seen larger than this is no loss burst a
// phase can have: such a datagram is counted as arrived, but not looked at further.
constexpr int64_t LARGEST_SEQUENCE_JUMP = int64_t{1} << 24;

// Fixed size: nothing a peer sends makes it allocate, and each datagram costs a bounded
// amount of work.
class DatagramOrder {
   public:
    void reset();
    // A datagram with this header arrived at received_nanoseconds on the receiver's clock.
    void arrived(int64_t sequence, int64_t sent_nanoseconds, int64_t received_nanoseconds);
    DatagramOrderFigures figures() const;

   private:
    void advance_to(int64_t sequence);
    bool seen(int64_t sequence) const;
    void mark_seen(int64_t sequence);
    // Forgets the numbers from first up to, not including, last: fewer than the window.
    void forget(int64_t first, int64_t last);

    static constexpr int64_t WORD_BITS = 64;
    // One bit per sequence number modulo the window.
    std::array<uint64_t, ORDER_WINDOW / WORD_BITS> seen_{};
    int64_t highest_ = -1;
    int64_t distinct_ = 0;
    int64_t out_of_order_ = 0;
    int64_t duplicates_ = 0;
    bool has_transit_ = false;
    uint64_t last_transit_ = 0;  // modulo 2^64: only differences count
    double jitter_nanoseconds_ = 0;
};
