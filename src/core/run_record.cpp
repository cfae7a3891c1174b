#include "core/run_record.h"

RunRecord run_record;

SizeRecord& record_size(int32_t size) {
    SizeRecord& record = run_record.sizes.emplace_back();
    record.size = size;
    return record;
}

PhaseRecord measured_phase(int64_t bytes, int64_t ticks) {
    return PhaseRecord{true, bytes, ticks, false, 0, {}, {}, {}};
}

PhaseRecord measured_phase(int64_t bytes, int64_t ticks, int64_t loss_percent) {
    return PhaseRecord{true, bytes, ticks, true, loss_percent, {}, {}, {}};
}
