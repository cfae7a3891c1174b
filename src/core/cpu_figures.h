// This process's CPU use over a phase: whether the host, not the network, set the rate.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>

struct CpuSample {
    bool known = false;
    int64_t user_microseconds = 0;
    int64_t system_microseconds = 0;
    int64_t wall_microseconds = 0;  // monotonic
};

// Every thread of the process counts: a UDP phase's receiving is done by another one.
CpuSample read_cpu_sample();

struct CpuFigures {
    std::optional<double> user_seconds;
    std::optional<double> system_seconds;
    std::optional<double> percent;  // of one core, over the phase's wall time
};

CpuFigures cpu_between(const CpuSample& before, const CpuSample& after);

// "cpu 22.0 %, user 0.12 s, system 1.20 s"
void print_cpu_figures(const CpuFigures& figures);

nlohmann::ordered_json cpu_figures_json(const CpuFigures& figures);
