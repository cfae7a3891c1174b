#include "app/command_line.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::string_view REVISION_KEYWORD = "$Revision: 1.34 $";
constexpr size_t REVISION_PREFIX = 11;  // "$Revision: "

constexpr std::string_view version_of(std::string_view keyword) {
    const std::string_view rest = keyword.substr(REVISION_PREFIX);
    return rest.substr(0, rest.find(' '));
}

// "+": stop at the first operand instead of permuting the arguments.
constexpr const char* OPTION_STRING = "+?stup:h:b:dBKMG";

enum LongOption : int { OPTION_JSON = 256, OPTION_TIME, OPTION_HELP, OPTION_VERSION };

constexpr option LONG_OPTIONS[] = {
    {"json", no_argument, nullptr, OPTION_JSON},
    {"time", required_argument, nullptr, OPTION_TIME},
    {"help", no_argument, nullptr, OPTION_HELP},
    {"version", no_argument, nullptr, OPTION_VERSION},
    {nullptr, 0, nullptr, 0},
};

constexpr const char* LONG_OPTIONS_TEXT =
    "Long options:\n"
    "  --json          client: print one JSON document with every figure at the end\n"
    "                  on standard output (the text lines go to standard error)\n"
    "  --time=<sec>    length of the phases this process sends, 1 to %d (default %d)\n"
    "  --help          print this text\n"
    "  --version       print the version\n"
    "\n";

// --time: whole seconds within the allowed range, nothing after them; 0 when invalid.
int parse_phase_seconds(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long seconds = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || seconds < 1 || seconds > MAX_PHASE_SECONDS) {
        return 0;
    }
    return static_cast<int>(seconds);
}

constexpr const char* USAGE_TEXT =
    "\n"
    "Usage: flenko [options] [<server>]\n"
    "\n"
    "  -s              run server side of benchmark (otherwise run client)\n"
    "  -b <size>[k]    use this block size (otherwise run with 1,2,4,8,16 and 32k)\n"
    "  -B -K -M -G     force number formatting to Bytes, K, M or G Bytes\n"
    "\n"
    "  -t              use TCP protocol for benchmark\n"
    "  -u              use UDP protocol for benchmark\n"
    "  -h <addr/name>  bind TCP and UDP sockets to this local host address/name\n"
    "                  defaults to all (server) or unspecified (client)\n"
    "  -p <port>       bind TCP and UDP servers to this port (default is %d)\n"
    "\n"
    "  <server>        If the client side of the benchmark is running,\n"
    "                  a server name or address is required.\n"
    "\n"
    "The server side can run either TCP (-t) or UDP (-u) protocol or both\n"
    "(default, if neither -t or -u is specified). The client runs one of\n"
    "these protocols only (must specify -t or -u).\n"
    "\n";

}  // namespace

std::string_view version_text() {
    return version_of(REVISION_KEYWORD);
}

void print_banner() {
    const std::string_view version = version_text();
    printf("\nFLENKO - Network Throughput Benchmark, Version %.*s\n",
           static_cast<int>(version.size()), version.data());
    puts("Written by the FLENKO developers");
}

void usage() {
    printf(USAGE_TEXT, run_config.tcp_port);
    exit(1);
}

void print_help() {
    printf(USAGE_TEXT, run_config.tcp_port);
    printf(LONG_OPTIONS_TEXT, MAX_PHASE_SECONDS, PHASE_SECONDS);
}

int32_t parse_block_size(const char* text) {
    char* end = nullptr;
    long size = strtol(text, &end, 10);
    if (*end == 'k') {
        // Narrowed first so the product cannot overflow; the clamp below is unchanged by it.
        size = std::clamp(size, 0L, long{MAX_BLOCK_SIZE}) * 1024;
    }
    if (size < 1) {
        return 1;
    }
    return size > MAX_BLOCK_SIZE ? MAX_BLOCK_SIZE : static_cast<int32_t>(size);
}

ParseOutcome parse_command_line(int argc, char** argv, RunConfig& config, CommandLine& line) {
    optind = 0;  // a full re-scan, so the parser can run more than once in a process
    for (int option = 0;
         (option = getopt_long(argc, argv, OPTION_STRING, LONG_OPTIONS, nullptr)) != -1;) {
        switch (option) {
            case OPTION_JSON:
                line.json = true;
                break;
            case OPTION_TIME:
                config.phase_seconds = parse_phase_seconds(optarg);
                if (config.phase_seconds == 0) {
                    return ParseOutcome::USAGE;
                }
                break;
            case OPTION_HELP:
                return ParseOutcome::HELP;
            case OPTION_VERSION:
                return ParseOutcome::VERSION;
            case 's':
                config.server_mode = 1;
                break;
            case 't':
                config.tcp_enabled = 1;
                break;
            case 'u':
                config.udp_enabled = 1;
                break;
            case 'p':
                config.tcp_port = atoi(optarg);
                config.udp_port = static_cast<int32_t>(static_cast<uint32_t>(config.tcp_port) + 1);
                break;
            case 'h':
                line.local_host = optarg;
                break;
            case 'b':
                config.sizes.sizes[0] = parse_block_size(optarg);
                config.sizes.count = 1;
                break;
            case 'B':
                config.unit_mode = UNIT_BYTES;
                break;
            case 'K':
                config.unit_mode = UNIT_KBYTES;
                break;
            case 'M':
                config.unit_mode = UNIT_MBYTES;
                break;
            case 'G':
                config.unit_mode = UNIT_GBYTES;
                break;
            default:  // -d, -?, unknown letters and missing arguments
                return ParseOutcome::USAGE;
        }
    }
    if (!config.tcp_enabled && !config.udp_enabled) {
        if (!config.server_mode) {
            return ParseOutcome::NO_PROTOCOL;
        }
        config.tcp_enabled = 1;
        config.udp_enabled = 1;
    }
    if (optind < argc) {
        line.server_host = argv[optind];
    }
    return ParseOutcome::RUN;
}
