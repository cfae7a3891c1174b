// A client's walk over the block sizes, pass after pass.
#pragma once

#include <cstddef>

#include "core/repeat_summary.h"
#include "core/run_config.h"
#include "core/run_record.h"

// Measures every block size of the run, run_config.repeat times over, interleaved so that
// drift over time weighs on every size alike, until measure (bool(int32_t size)) says the
// run must end; then prints the summary of the passes.
template <typename Measure>
void walk_sizes(Measure measure) {
    const SizeList& sizes = run_config.sizes;
    run_record.sizes.reserve(static_cast<size_t>(sizes.count * run_config.repeat));
    bool going = true;
    for (int pass = 0; going && pass < run_config.repeat; ++pass) {
        for (int64_t i = 0; going && i < sizes.count; ++i) {
            going = measure(sizes.sizes[i]);
        }
    }
    print_repeat_summary();
}
