#include "support/delay_line.h"

#include <algorithm>
#include <cstring>

DelayLine::DelayLine(std::chrono::nanoseconds one_way, int64_t rate_bits_per_second,
                     size_t queue_bytes)
    : one_way_(one_way),
      rate_(rate_bits_per_second),
      limit_(queue_bytes),
      // Held bytes, the one gap before the end (shorter than the packet that skipped it)
      // and the packet being placed always fit in this, so the limit alone decides drops.
      // Left uninitialised, so pages are only touched as they fill.
      capacity_(queue_bytes + MAX_PACKET + 1),
      ring_(new uint8_t[capacity_]) {}

bool DelayLine::push(Clock::time_point arrival, std::span<const uint8_t> packet) {
    const size_t length = packet.size();
    if (length == 0 || length > MAX_PACKET || queued_bytes_ + length > limit_) {
        ++dropped_;
        return false;
    }
    // The capacity leaves room for this packet after the last one or, when it would run
    // past the end, at the start.
    const size_t offset = held_.empty() || capacity_ - tail_ < length ? 0 : tail_;
    memcpy(ring_.get() + offset, packet.data(), length);
    tail_ = offset + length;

    Clock::time_point departure = arrival + one_way_;
    if (rate_ > 0) {
        const auto serialization = std::chrono::nanoseconds(
            (static_cast<int64_t>(length) * 8 * 1'000'000'000 + rate_ / 2) / rate_);
        departure = std::max(departure, last_departure_ + serialization);
    }
    last_departure_ = departure;
    held_.push_back({departure, offset, length});
    queued_bytes_ += length;
    return true;
}

std::span<const uint8_t> DelayLine::front() const {
    const Held& oldest = held_.front();
    return {ring_.get() + oldest.offset, oldest.length};
}

void DelayLine::pop() {
    queued_bytes_ -= held_.front().length;
    held_.pop_front();
}
