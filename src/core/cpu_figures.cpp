#include "core/cpu_figures.h"

#include <sys/resource.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "core/figure_fields.h"

namespace {

constexpr double MICROSECONDS_PER_SECOND = 1e6;

int64_t microseconds(const timeval& time) {
    return int64_t{time.tv_sec} * 1000000 + time.tv_usec;
}

}  // namespace

CpuSample read_cpu_sample() {
    CpuSample sample;
    rusage usage{};
    timespec now{};
    if (getrusage(RUSAGE_SELF, &usage) != 0 || clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return sample;
    }
    sample.known = true;
    sample.user_microseconds = microseconds(usage.ru_utime);
    sample.system_microseconds = microseconds(usage.ru_stime);
    sample.wall_microseconds = int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
    return sample;
}

CpuFigures cpu_between(const CpuSample& before, const CpuSample& after) {
    CpuFigures figures;
    if (!before.known || !after.known) {
        return figures;
    }
    const int64_t user = after.user_microseconds - before.user_microseconds;
    const int64_t system = after.system_microseconds - before.system_microseconds;
    const int64_t wall = after.wall_microseconds - before.wall_microseconds;
    figures.user_seconds = static_cast<double>(user) / MICROSECONDS_PER_SECOND;
    figures.system_seconds = static_cast<double>(system) / MICROSECONDS_PER_SECOND;
    if (wall > 0) {
        figures.percent = 100.0 * static_cast<double>(user + system) / static_cast<double>(wall);
    }
    return figures;
}

void print_cpu_figures(const CpuFigures& figures) {
    bool first = true;
    print_field(first, "cpu", figures.percent, 1.0, "%.1f", " %");
    print_field(first, "user", figures.user_seconds, 1.0, "%.2f", " s");
    print_field(first, "system", figures.system_seconds, 1.0, "%.2f", " s");
}

nlohmann::ordered_json cpu_figures_json(const CpuFigures& figures) {
    return {
        {"user_seconds", value_or_null(figures.user_seconds)},
        {"system_seconds", value_or_null(figures.system_seconds)},
        {"percent", value_or_null(figures.percent)},
    };
}
