#include "core/rate_fields.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"

namespace {

using Json = nlohmann::ordered_json;

// JSON has no infinity: a phase of no ticks has no rate.
Json number_or_null(double value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

}  // namespace

void add_rate_fields(Json& phase, int64_t bytes, int64_t ticks) {
    const bool failed = ticks == FAILED_TICKS;
    const double seconds = static_cast<double>(ticks) / TICKS_PER_SECOND;
    const RateInUnit rate = rate_in_unit(bytes, ticks, run_config.unit_mode);
    phase["seconds"] = failed ? Json(nullptr) : number_or_null(seconds);
    phase["bytes_per_second"] =
        failed ? Json(nullptr) : number_or_null(static_cast<double>(bytes) / seconds);
    phase["rate"] = failed || rate.unit == nullptr ? Json(nullptr) : number_or_null(rate.value);
    phase["unit"] = rate.unit == nullptr ? Json(nullptr) : Json(rate.unit);
}
