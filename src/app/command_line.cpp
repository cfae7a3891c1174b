#include "app/command_line.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/client_allow.h"

namespace {

constexpr std::string_view REVISION_KEYWORD = "$Revision: 1.34 $";
constexpr size_t REVISION_PREFIX = 11;  // "$Revision: "

constexpr std::string_view version_of(std::string_view keyword) {
    const std::string_view rest = keyword.substr(REVISION_PREFIX);
    return rest.substr(0, rest.find(' '));
}

// "+": stop at the first operand instead of permuting the arguments.
constexpr const char* OPTION_STRING = "+?stup:h:b:dBKMG";

enum LongOption : int {
    OPTION_JSON = 256,
    OPTION_TIME,
    OPTION_WINDOW,
    OPTION_CONGESTION,
    OPTION_INTERVAL,
    OPTION_RATE,
    OPTION_REPEAT,
    OPTION_OMIT,
    OPTION_VERBOSE,
    OPTION_ALLOW,
    OPTION_MAX_SESSION,
    OPTION_OFFLOAD,
    OPTION_HELP,
    OPTION_VERSION,
};

// What a long option's value may be.
enum class ValueKind {
    NONE,
    WHOLE_NUMBER,    // digits
    DECIMAL_NUMBER,  // digits, then optionally a point and digits
    BYTES,           // digits and an optional K or M (1024-based), or "auto" (0)
    BITRATE,         // decimal digits and an optional K, M or G (1000-based)
    NAME,            // least to most characters, kept as given
    PREFIX_LIST,     // IPv6 or IPv4 prefixes or addresses, comma-separated
    CHOICE,          // one of the words of the value name, "=auto|off": its place in the list
};

// One row per long option: the parser, --help and the manual follow from it. The help text
// may show the range and default with %1$g, %2$g and %3$g; further lines start with "\n".
struct LongOptionRow {
    const char* name;
    LongOption id;
    ValueKind kind;
    const char* value_name;
    double least;
    double most;
    double fallback;
    const char* help;
};

constexpr LongOptionRow LONG_OPTION_ROWS[] = {
    {"json", OPTION_JSON, ValueKind::NONE, "", 0, 0, 0,
     "print the figures as JSON on standard output: a client\n"
     "one document at the end, a server one line per phase it\n"
     "served; the text lines then go to standard error"},
    {"time", OPTION_TIME, ValueKind::WHOLE_NUMBER, "=<sec>", 1, MAX_PHASE_SECONDS, PHASE_SECONDS,
     "length of the phases this process sends,\n%1$g to %2$g (default %3$g)"},
    {"window", OPTION_WINDOW, ValueKind::BYTES, "=<size>", SMALLEST_SOCKET_BUFFER,
     LARGEST_SOCKET_BUFFER, SOCKET_BUFFER_SIZE,
     "send and receive buffer of every socket, in bytes with an\n"
     "optional K or M; or auto, which leaves their sizes to the\n"
     "kernel's tuning (default %3$g); give both sides the same"},
    {"congestion", OPTION_CONGESTION, ValueKind::NAME, "=<name>", 1, CONGESTION_NAME_SIZE - 1, 0,
     "TCP's congestion control algorithm, one this system\n"
     "offers (tcp_available_congestion_control)"},
    {"interval", OPTION_INTERVAL, ValueKind::DECIMAL_NUMBER, "=<sec>", 0.1, MAX_PHASE_SECONDS, 0,
     "report what moved in every <sec> seconds of each phase\n"
     "this process times, on lines of their own; %1$g up to\n"
     "the phase length"},
    {"rate", OPTION_RATE, ValueKind::BITRATE, "=<bits/s>", SLOWEST_RATE, FASTEST_RATE, 0,
     "pace the phases this process sends, TCP and UDP, to this\n"
     "many bits per second on average, with an optional K, M\n"
     "or G (1000-based); default: as fast as they go"},
    {"repeat", OPTION_REPEAT, ValueKind::WHOLE_NUMBER, "=<n>", 1, MAX_REPEAT, 1,
     "client: walk the block sizes n times on one connection,\n"
     "then summarize each size's rates: mean, standard\n"
     "deviation, min, max and 95 %% confidence interval;\n"
     "%1$g to %2$g (default %3$g)"},
    {"omit", OPTION_OMIT, ValueKind::DECIMAL_NUMBER, "=<sec>", 0, MAX_PHASE_SECONDS - 1, 0,
     "leave the first <sec> seconds of every phase this process\n"
     "times out of its rate (TCP's slow start); the phase still\n"
     "lasts as long; up to one second less than the phase"},
    {"verbose", OPTION_VERBOSE, ValueKind::NONE, "", 0, 0, 0,
     "after each result line, a line of TCP's own figures\n"
     "(retransmits, round-trip time, congestion window) and\n"
     "of this process's CPU use"},
    {"allow", OPTION_ALLOW, ValueKind::PREFIX_LIST, "=<prefix,...>", 0, 0, 0,
     "server: serve only clients whose address falls in one of\n"
     "these IPv6 or IPv4 prefixes (2001:db8::/32, 192.0.2.0/24)\n"
     "or addresses; close any other connection at once"},
    {"max-session", OPTION_MAX_SESSION, ValueKind::WHOLE_NUMBER, "=<sec>", 1, MAX_SESSION_LIMIT, 0,
     "server: end a client's connection once it has lasted\n"
     "this long, %1$g to %2$g; default: no limit"},
    {"offload", OPTION_OFFLOAD, ValueKind::CHOICE, "=auto|off", 0, 0, 0,
     "UDP: where the kernel can, hand it many datagrams per\n"
     "call (UDP_SEGMENT) and take trains of them (UDP_GRO),\n"
     "the same datagrams on the wire; off: one per call, for\n"
     "a comparison (default auto)"},
    {"help", OPTION_HELP, ValueKind::NONE, "", 0, 0, 0, "print this text"},
    {"version", OPTION_VERSION, ValueKind::NONE, "", 0, 0, 0, "print the version"},
};

constexpr size_t LONG_OPTION_COUNT = std::size(LONG_OPTION_ROWS);
constexpr int HELP_COLUMN = 20;

// getopt_long's view of the rows, ending in the empty entry it needs.
std::array<option, LONG_OPTION_COUNT + 1> make_getopt_options() {
    std::array<option, LONG_OPTION_COUNT + 1> options{};
    for (size_t i = 0; i < LONG_OPTION_COUNT; ++i) {
        const LongOptionRow& row = LONG_OPTION_ROWS[i];
        options[i] = {row.name, row.kind == ValueKind::NONE ? no_argument : required_argument,
                      nullptr, row.id};
    }
    return options;
}

const LongOptionRow* find_row(int id) {
    for (const LongOptionRow& row : LONG_OPTION_ROWS) {
        if (row.id == id) {
            return &row;
        }
    }
    return nullptr;
}

// Digits, and for decimal seconds a point and more digits after them; nothing else, so
// that "1e1", "0x1", " 1" or "1s" are refused, not read as something else.
bool has_number_form(const char* text, ValueKind kind) {
    const char* at = text;
    const auto digits = [&at] {
        const char* from = at;
        while (*at >= '0' && *at <= '9') {
            ++at;
        }
        return at > from;
    };
    if (!digits()) {
        return false;
    }
    if (kind == ValueKind::DECIMAL_NUMBER && *at == '.') {
        ++at;
        if (!digits()) {
            return false;
        }
    }
    return *at == '\0';
}

// Bits per second: a decimal number and an optional K, M or G; empty when it is anything
// else.
std::optional<double> parse_bitrate(const char* text) {
    const char* suffix = text;
    while ((*suffix >= '0' && *suffix <= '9') || *suffix == '.') {
        ++suffix;
    }
    const std::string_view number(text, static_cast<size_t>(suffix - text));
    const std::string_view unit(suffix);
    constexpr std::string_view UNITS = "KMG";
    const size_t found =
        unit.empty() ? 0
                     : UNITS.find(static_cast<char>(toupper(static_cast<unsigned char>(unit[0]))));
    if (unit.size() > 1 || found == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t power = unit.empty() ? 0 : found + 1;
    const std::string digits(number);
    if (!has_number_form(digits.c_str(), ValueKind::DECIMAL_NUMBER)) {
        return std::nullopt;
    }
    errno = 0;
    const double value = strtod(digits.c_str(), nullptr) * std::pow(1000.0, power);
    return errno == 0 && std::isfinite(value) ? std::optional(value) : std::nullopt;
}

// Digits and an optional K or M, or "auto" for 0; empty when it is anything else.
std::optional<double> parse_bytes(const char* text) {
    if (strcmp(text, "auto") == 0) {
        return 0.0;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long digits = strtoull(text, &end, 10);
    if (end == text || *text < '0' || *text > '9' || errno != 0) {
        return std::nullopt;
    }
    double scale = 1.0;
    if (*end == 'K' || *end == 'k') {
        scale = 1024.0;
        ++end;
    } else if (*end == 'M' || *end == 'm') {
        scale = 1024.0 * 1024.0;
        ++end;
    }
    if (*end != '\0') {
        return std::nullopt;
    }
    return static_cast<double>(digits) * scale;
}

// The place of text among the words of a value name such as "=auto|off"; empty when it is
// none of them.
std::optional<double> parse_choice(const char* value_name, const char* text) {
    const std::string_view words = std::string_view(value_name).substr(1);
    double place = 0;
    for (size_t from = 0;; ++place) {
        const size_t bar = words.find('|', from);
        if (words.substr(from, bar == std::string_view::npos ? bar : bar - from) == text) {
            return place;
        }
        if (bar == std::string_view::npos) {
            return std::nullopt;
        }
        from = bar + 1;
    }
}

// The value of a row's option within its range; empty when it has none or it is bad.
std::optional<double> parse_value(const LongOptionRow& row, const char* text) {
    if (row.kind == ValueKind::NONE) {
        return 0.0;
    }
    if (text != nullptr && row.kind == ValueKind::CHOICE) {
        return parse_choice(row.value_name, text);
    }
    if (text != nullptr && row.kind == ValueKind::NAME) {
        const auto length = static_cast<double>(strlen(text));
        return length >= row.least && length <= row.most ? std::optional(0.0) : std::nullopt;
    }
    if (text != nullptr && row.kind == ValueKind::BYTES) {
        const std::optional<double> bytes = parse_bytes(text);
        if (strcmp(text, "auto") != 0 && bytes && (*bytes < row.least || *bytes > row.most)) {
            return std::nullopt;
        }
        return bytes;
    }
    if (text != nullptr && row.kind == ValueKind::PREFIX_LIST) {
        return parse_prefix_list(text) ? std::optional(0.0) : std::nullopt;
    }
    if (text != nullptr && row.kind == ValueKind::BITRATE) {
        const std::optional<double> rate = parse_bitrate(text);
        return rate && *rate >= row.least && *rate <= row.most ? rate : std::nullopt;
    }
    if (text == nullptr || !has_number_form(text, row.kind)) {
        return std::nullopt;
    }
    errno = 0;
    const double value = strtod(text, nullptr);
    if (errno != 0 || value < row.least || value > row.most) {
        return std::nullopt;
    }
    return value;
}

// The row's help with %1$g, %2$g and %3$g replaced by its range and default, and %% by %.
// Done by hand: printf leaves positional arguments that a text skips undefined.
std::string fill_help(const LongOptionRow& row) {
    const double values[] = {row.least, row.most, row.fallback};
    std::string filled;
    for (const char* at = row.help; *at != '\0'; ++at) {
        if (at[0] == '%' && at[1] == '%') {
            filled += '%';
            ++at;
        } else if (at[0] == '%' && at[1] >= '1' && at[1] <= '3' && strncmp(at + 2, "$g", 2) == 0) {
            char number[32];
            snprintf(number, sizeof number, "%g", values[at[1] - '1']);
            filled += number;
            at += 3;
        } else {
            filled += *at;
        }
    }
    return filled;
}

void print_long_options() {
    puts("Long options:");
    for (const LongOptionRow& row : LONG_OPTION_ROWS) {
        char head[64];
        snprintf(head, sizeof head, "  --%s%s", row.name, row.value_name);
        const std::string filled = fill_help(row);
        const char* const help = filled.c_str();
        // A head too long for the column gets a line of its own.
        if (static_cast<int>(strlen(head)) > HELP_COLUMN - 3) {
            printf("%s\n%*s", head, HELP_COLUMN - 2, "");
        } else {
            printf("%-*s", HELP_COLUMN - 2, head);
        }
        for (const char* line = help;;) {
            const char* const next = strchr(line, '\n');
            const int length =
                next == nullptr ? static_cast<int>(strlen(line)) : static_cast<int>(next - line);
            printf("  %.*s\n", length, line);
            if (next == nullptr) {
                break;
            }
            printf("%*s", HELP_COLUMN - 2, "");
            line = next + 1;
        }
    }
    putchar('\n');
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
    print_long_options();
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
    static const std::array<option, LONG_OPTION_COUNT + 1> getopt_options = make_getopt_options();
    optind = 0;  // a full re-scan, so the parser can run more than once in a process
    for (int option = 0;
         (option = getopt_long(argc, argv, OPTION_STRING, getopt_options.data(), nullptr)) != -1;) {
        const LongOptionRow* const row = find_row(option);
        const std::optional<double> value =
            row == nullptr ? std::optional<double>(0.0) : parse_value(*row, optarg);
        if (!value) {
            return ParseOutcome::USAGE;
        }
        switch (option) {
            case OPTION_JSON:
                line.json = true;
                break;
            case OPTION_TIME:
                config.phase_seconds = static_cast<int>(*value);
                break;
            case OPTION_WINDOW:
                config.socket_buffer = static_cast<int32_t>(*value);
                break;
            case OPTION_CONGESTION:
                snprintf(config.congestion, sizeof config.congestion, "%s", optarg);
                break;
            case OPTION_INTERVAL:
                config.interval_microseconds = std::llround(*value * 1e6);
                break;
            case OPTION_RATE:
                config.rate_bits_per_second = std::llround(*value);
                break;
            case OPTION_REPEAT:
                config.repeat = static_cast<int>(*value);
                break;
            case OPTION_OMIT:
                config.omit_microseconds = std::llround(*value * 1e6);
                break;
            case OPTION_VERBOSE:
                config.verbose = true;
                break;
            case OPTION_ALLOW: {
                // Each --allow adds to the list.
                const std::vector<AddressPrefix> prefixes = *parse_prefix_list(optarg);
                config.allowed_clients.insert(config.allowed_clients.end(), prefixes.begin(),
                                              prefixes.end());
                break;
            }
            case OPTION_MAX_SESSION:
                config.max_session_seconds = static_cast<int>(*value);
                break;
            case OPTION_OFFLOAD:
                config.offload = *value == 0;
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
    // Checked once every option is read: --time may come after --interval or --omit.
    const int64_t phase_microseconds = int64_t{config.phase_seconds} * 1000000;
    if (config.interval_microseconds > phase_microseconds ||
        config.omit_microseconds > phase_microseconds - 1000000) {
        return ParseOutcome::USAGE;
    }
    config.watch_phases = line.json || config.verbose || config.interval_microseconds > 0 ||
                          config.omit_microseconds > 0;
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
