// What a client measured, kept for a report after the run.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/phase_watch.h"
#include "core/run_config.h"

struct PhaseRecord {
    bool measured = false;  // the phase ran to its end and was timed
    int64_t bytes = 0;
    int64_t ticks = 0;      // FAILED_TICKS when the timing failed
    bool has_loss = false;  // UDP only
    int64_t loss_percent = 0;
    PhaseFigures figures;  // beyond the rate, when asked for
    // UDP: datagrams this client sent (given up ones included) or counted.
    std::optional<int64_t> datagrams;
    // UDP, this client sending: whether it handed the kernel batches of them.
    std::optional<bool> segmentation;
};

struct SizeRecord {
    int32_t size = 0;
    PhaseRecord tx;  // this client sending
    PhaseRecord rx;  // this client receiving
};

// Written by the client role on the main thread, read by main after it returns.
struct RunRecord {
    bool connected = false;
    // In the order measured: pass after pass over the block sizes.
    std::vector<SizeRecord> sizes;
};

extern RunRecord run_record;

// Starts the record of the next block size of the walk.
SizeRecord& record_size(int32_t size);

PhaseRecord measured_phase(int64_t bytes, int64_t ticks);
PhaseRecord measured_phase(int64_t bytes, int64_t ticks, int64_t loss_percent);
