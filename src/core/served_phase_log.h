// What a server says of each phase it served beyond the result line: the --verbose line,
// and with --json one JSON object per line, for a log collector.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <optional>

#include "core/phase_watch.h"

// Where the JSON lines go; null when the server writes none. Set before any role starts.
extern FILE* served_phase_log;

struct ServedPhase {
    sockaddr_in6 peer{};
    bool tcp = false;
    int32_t size = 0;
    int64_t bytes = 0;                 // as the result line counts them
    std::optional<int64_t> datagrams;  // datagrams this server sent or counted
    int64_t ticks = 0;
    PhaseFigures figures;  // its sending says the direction
    // UDP, this server sending: whether it handed the kernel batches of datagrams.
    std::optional<bool> segmentation;
};

void report_served_phase(const ServedPhase& phase);
