// A phase's rate as JSON fields, alike in the client's document and the server's lines.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>

// Adds "seconds", "bytes_per_second", "rate" and "unit" (run_config.unit_mode) for bytes
// moved in ticks: null where the timing failed or a figure is not finite.
void add_rate_fields(nlohmann::ordered_json& phase, int64_t bytes, int64_t ticks);
