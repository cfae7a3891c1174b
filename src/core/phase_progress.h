// What a phase has moved so far, published by its loop for whoever reports on it meanwhile.
#pragma once

#include <atomic>
#include <cstdint>

// Each word is updated atomically; no order between the two is assumed.
struct PhaseProgress {
    std::atomic<int64_t> datagrams{0};  // stays 0 on a stream
    std::atomic<int64_t> bytes{0};
};
