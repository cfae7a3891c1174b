// The summary of a client's repeated passes over the block sizes (--repeat).
#pragma once

#include <cstdint>
#include <optional>

#include "core/run_record.h"
#include "core/sample_statistics.h"

// What the passes say of one block size in one direction.
struct DirectionSummary {
    SampleStatistics rate;            // bytes per second, of the phases that were timed
    int64_t failed = 0;               // phases whose timing failed: no samples
    std::optional<double> mean_loss;  // UDP: percent, over the timed phases
};

// The phases of the size at size_index in the walk, over every pass run_record holds.
DirectionSummary summarize_direction(int64_t size_index, bool tx);

// After the last pass of a run of several, per block size and direction: the mean rate, the
// 95 % confidence interval of the mean, the standard deviation, the minimum and the maximum,
// all in the unit the mean is shown in; nothing for a single pass.
void print_repeat_summary();
