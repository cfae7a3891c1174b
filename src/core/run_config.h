// Process-wide settings: written by main before any role starts, read-only after.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "core/client_allow.h"
#include "core/phase_alarm.h"

enum UnitMode : int {
    UNIT_AUTO = 0,
    UNIT_BYTES = 1,
    UNIT_KBYTES = 2,
    UNIT_MBYTES = 3,
    UNIT_GBYTES = 4,
};

constexpr int MAX_SIZES = 6;
constexpr int MAX_BLOCK_SIZE = 65536;
constexpr int DEFAULT_TCP_PORT = 18767;
// Send and receive buffers of every socket unless --window says otherwise; on Linux a size
// set by hand also turns the kernel's own tuning of them off.
constexpr int32_t SOCKET_BUFFER_SIZE = 131072;
constexpr int32_t SMALLEST_SOCKET_BUFFER = 2048;
// Linux doubles a size asked for, and the double must stay an int.
constexpr int32_t LARGEST_SOCKET_BUFFER = 0x3fffffff;
// The kernel's limit on an algorithm's name, its terminating zero included.
constexpr int CONGESTION_NAME_SIZE = 16;
// Passes over the block sizes a client may be asked for.
constexpr int MAX_REPEAT = 1000;
// --rate's range, in bits per second.
constexpr double SLOWEST_RATE = 1.0;
constexpr double FASTEST_RATE = 1e12;
// --max-session's longest limit, a day.
constexpr int MAX_SESSION_LIMIT = 86400;

struct SizeList {
    int32_t sizes[MAX_SIZES] = {1024, 2048, 4096, 8192, 16384, 32767};
    int64_t count = MAX_SIZES;
};

struct RunConfig {
    int server_mode = 0;
    int tcp_enabled = 0;
    int udp_enabled = 0;
    UnitMode unit_mode = UNIT_AUTO;
    in6_addr local_address = IN6ADDR_ANY_INIT;
    in6_addr server_address = IN6ADDR_ANY_INIT;
    int32_t tcp_port = DEFAULT_TCP_PORT;
    int32_t udp_port = DEFAULT_TCP_PORT + 1;
    SizeList sizes;
    int phase_seconds = PHASE_SECONDS;           // of the phases this process sends
    int32_t socket_buffer = SOCKET_BUFFER_SIZE;  // of every socket; 0: the kernel tunes them
    char congestion[CONGESTION_NAME_SIZE] = "";  // TCP's algorithm; empty: the system's
    int64_t interval_microseconds = 0;           // report every so long within a phase; 0: never
    int64_t rate_bits_per_second = 0;            // of the phases this process sends; 0: unpaced
    int repeat = 1;                              // passes over the block sizes
    int64_t omit_microseconds = 0;               // of each phase, left out of its rate
    bool verbose = false;                        // a line of TCP and CPU figures per result line
    bool watch_phases = false;                   // those figures are wanted, in text or JSON
    std::vector<AddressPrefix> allowed_clients;  // a server serves only these; empty: everyone
    int max_session_seconds = 0;                 // a server ends connections this old; 0: never
    bool offload = true;  // UDP: many datagrams per system call where the kernel can (--offload)
};

extern RunConfig run_config;
