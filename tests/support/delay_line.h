// One direction of a path with delay: a FIFO that holds each packet for a fixed time and,
// when given a rate, spaces departures by each packet's serialization time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>

class DelayLine {
   public:
    using Clock = std::chrono::steady_clock;

    // The largest packet taken, whatever the MTU.
    static constexpr size_t MAX_PACKET = 65535;

    // rate_bits_per_second 0 means no rate cap. queue_bytes bounds the packet bytes held,
    // those still in their delay included.
    DelayLine(std::chrono::nanoseconds one_way, int64_t rate_bits_per_second, size_t queue_bytes);

    // Takes a copy of a packet that arrived at arrival (not before any earlier one); false
    // when it was dropped because the queue would exceed its limit.
    bool push(Clock::time_point arrival, std::span<const uint8_t> packet);

    bool empty() const { return held_.empty(); }
    // When the oldest packet leaves; only when not empty.
    Clock::time_point next_departure() const { return held_.front().departure; }
    // The oldest packet; only when not empty.
    std::span<const uint8_t> front() const;
    void pop();

    size_t queued_bytes() const { return queued_bytes_; }
    uint64_t dropped() const { return dropped_; }

   private:
    struct Held {
        Clock::time_point departure;
        size_t offset;
        size_t length;
    };

    std::chrono::nanoseconds one_way_;
    int64_t rate_;
    size_t limit_;
    // Packet bytes in a ring, each one contiguous; a packet that does not fit before the
    // end starts again at 0.
    size_t capacity_;
    std::unique_ptr<uint8_t[]> ring_;
    size_t tail_ = 0;
    std::deque<Held> held_;
    size_t queued_bytes_ = 0;
    uint64_t dropped_ = 0;
    Clock::time_point last_departure_{};
};
