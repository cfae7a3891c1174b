#include "udp/datagram_order.h"

#include <algorithm>
#include <cmath>

namespace {

int64_t slot(int64_t sequence) {
    return sequence % ORDER_WINDOW;
}

}  // namespace

bool DatagramOrder::seen(int64_t sequence) const {
    const int64_t bit = slot(sequence);
    return ((seen_[static_cast<size_t>(bit / WORD_BITS)] >> (bit % WORD_BITS)) & 1U) != 0;
}

void DatagramOrder::mark_seen(int64_t sequence) {
    const int64_t bit = slot(sequence);
    seen_[static_cast<size_t>(bit / WORD_BITS)] |= uint64_t{1} << (bit % WORD_BITS);
}

void DatagramOrder::forget(int64_t first, int64_t last) {
    // A word at a time: a peer that skips ahead costs at most one pass over the window.
    while (first < last) {
        const int64_t bit = slot(first);
        const int64_t span = std::min(WORD_BITS - bit % WORD_BITS, last - first);
        const uint64_t ones = span == WORD_BITS ? ~uint64_t{0} : (uint64_t{1} << span) - 1;
        seen_[static_cast<size_t>(bit / WORD_BITS)] &= ~(ones << (bit % WORD_BITS));
        first += span;
    }
}

void DatagramOrder::reset() {
    *this = DatagramOrder();
}

void DatagramOrder::advance_to(int64_t sequence) {
    // The slots up to it now stand for numbers that have not come yet.
    if (sequence - highest_ >= ORDER_WINDOW) {
        seen_.fill(0);
    } else {
        forget(highest_ + 1, sequence + 1);
    }
    highest_ = sequence;
}

void DatagramOrder::arrived(int64_t sequence, int64_t sent_nanoseconds,
                            int64_t received_nanoseconds) {
    if (sequence < 0 || sequence > highest_ + LARGEST_SEQUENCE_JUMP ||
        sequence <= highest_ - ORDER_WINDOW) {
        return;
    }
    if (sequence > highest_) {
        advance_to(sequence);
    } else if (seen(sequence)) {
        ++duplicates_;
        return;
    } else {
        ++out_of_order_;
    }
    mark_seen(sequence);
    ++distinct_;

    // Clocks need not agree: only the change of transit time from one datagram to the next
    // counts, in order of arrival.
    const uint64_t transit =
        static_cast<uint64_t>(received_nanoseconds) - static_cast<uint64_t>(sent_nanoseconds);
    if (has_transit_) {
        const auto change = static_cast<double>(static_cast<int64_t>(transit - last_transit_));
        jitter_nanoseconds_ += (std::fabs(change) - jitter_nanoseconds_) / 16.0;
    }
    has_transit_ = true;
    last_transit_ = transit;
}

DatagramOrderFigures DatagramOrder::figures() const {
    DatagramOrderFigures figures;
    if (distinct_ == 0) {
        return figures;
    }
    figures.known = true;
    figures.lost_by_sequence = highest_ + 1 - distinct_;
    figures.out_of_order = out_of_order_;
    figures.duplicates = duplicates_;
    figures.jitter_ms = jitter_nanoseconds_ / 1e6;
    return figures;
}
