#include "app/command_line.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/resolve_address.h"
#include "core/socket_setup.h"
#include "support/process.h"

namespace {

const std::string BANNER =
    "\nFLENKO - Network Throughput Benchmark, Version 1.34\nWritten by the FLENKO developers\n";

std::string usage_text(int port) {
    return "\n"
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
           "  -p <port>       bind TCP and UDP servers to this port (default is " +
           std::to_string(port) +
           ")\n"
           "\n"
           "  <server>        If the client side of the benchmark is running,\n"
           "                  a server name or address is required.\n"
           "\n"
           "The server side can run either TCP (-t) or UDP (-u) protocol or both\n"
           "(default, if neither -t or -u is specified). The client runs one of\n"
           "these protocols only (must specify -t or -u).\n"
           "\n";
}

struct Parsed {
    ParseOutcome outcome;
    RunConfig config;
    std::string server_host;  // copied: the argument texts die with parse()
};

Parsed parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "flenko");
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    Parsed parsed{ParseOutcome::RUN, RunConfig{}, ""};
    CommandLine line;
    parsed.outcome =
        parse_command_line(static_cast<int>(arguments.size()), argv.data(), parsed.config, line);
    if (line.server_host != nullptr) {
        parsed.server_host = line.server_host;
    }
    return parsed;
}

struct ProcessCase {
    const char* name;
    std::vector<std::string> arguments;
    int exit_status;
    std::string out;  // after the banner
};

class CommandLineProcess : public testing::TestWithParam<ProcessCase> {};

TEST_P(CommandLineProcess, PrintsAndExitsAsDocumented) {
    const ProcessCase& c = GetParam();
    std::vector<std::string> arguments{flenko_path()};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult result = run_process(arguments);
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(result.out, BANNER + c.out);
}

const std::string USAGE = usage_text(18767);

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineProcess,
    testing::Values(ProcessCase{"NoArguments", {}, 1, USAGE},
                    ProcessCase{"QuestionMark", {"-?"}, 1, USAGE},
                    ProcessCase{"D", {"-d"}, 1, USAGE},
                    ProcessCase{"UnknownLetter", {"-x"}, 1, USAGE},
                    ProcessCase{"MissingArgument", {"-t", "-p"}, 1, USAGE},
                    ProcessCase{"ClientWithoutOperand", {"-t"}, 1, USAGE},
                    ProcessCase{"BothProtocols", {"-t", "-u", "::1"}, 1, USAGE},
                    ProcessCase{"UsageShowsPort", {"-p", "5000", "-d"}, 1, usage_text(5000)},
                    ProcessCase{"NoProtocol", {"::1"}, 0, "\n"},
                    // Parsing stops at the operand, so -t is never seen.
                    ProcessCase{"OptionAfterOperand", {"::1", "-t"}, 0, "\n"},
                    // Nothing is resolved on this path.
                    ProcessCase{"NoProtocolUnresolvable", {"-b", "2k", "no.such.host"}, 0, "\n"}),
    [](const testing::TestParamInfo<ProcessCase>& info) { return info.param.name; });

// Failed lookups need a resolver that cannot reach anything: run in an empty network
// namespace.
class FailedLookup : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(FailedLookup, ReportsAndExitsOne) {
    if (run_process({"/usr/bin/unshare", "-n", "/bin/true"}).exit_status != 0) {
        GTEST_SKIP() << "cannot make an empty network namespace (needs root and unshare)";
    }
    std::vector<std::string> arguments{"/usr/bin/unshare", "-n", flenko_path()};
    arguments.insert(arguments.end(), GetParam().begin(), GetParam().end());
    const ProcessResult result = run_process(arguments);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, BANNER);
    EXPECT_EQ(result.err.rfind("gethostbyname(): ", 0), 0U) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedLookup,
                         testing::Values(
                             // The -h lookup fails before the missing operand is noticed.
                             std::vector<std::string>{"-t", "-h", "no.such.host"},
                             std::vector<std::string>{"-t", "no.such.host"},
                             // Digit-led text that is no address goes to the lookup too.
                             std::vector<std::string>{"-u", "123abc"},
                             // Lookups come before the test for both protocols.
                             std::vector<std::string>{"-t", "-u", "no.such.host"}));

TEST(CommandLine, BlockSizeIsClampedAfterTheSuffix) {
    const struct {
        const char* text;
        int32_t size;
    } cases[] = {{"0", 1},
                 {"-5", 1},
                 {"1", 1},
                 {"64k", 65536},
                 {"1000000", 65536},
                 {"100k", 65536},
                 {"2k", 2048},
                 {"16K", 16},
                 {"-5k", 1},
                 {"1536", 1536},
                 {"99999999999k", 65536}};
    for (const auto& c : cases) {
        const Parsed parsed = parse({"-t", "-b", c.text, "host"});
        EXPECT_EQ(parsed.config.sizes.count, 1) << c.text;
        EXPECT_EQ(parsed.config.sizes.sizes[0], c.size) << c.text;
    }
}

TEST(CommandLine, DefaultsAndLastOptionWins) {
    const Parsed plain = parse({"-t", "host"});
    ASSERT_EQ(plain.outcome, ParseOutcome::RUN);
    const int32_t defaults[] = {1024, 2048, 4096, 8192, 16384, 32767};
    EXPECT_EQ(plain.config.sizes.count, 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(plain.config.sizes.sizes[i], defaults[i]);
    }
    EXPECT_EQ(plain.config.tcp_port, 18767);
    EXPECT_EQ(plain.config.udp_port, 18768);
    EXPECT_EQ(plain.server_host, "host");

    const Parsed repeated = parse({"-p", "1", "-p", "5000", "-K", "-G", "-u", "host", "other"});
    EXPECT_EQ(repeated.config.tcp_port, 5000);
    EXPECT_EQ(repeated.config.udp_port, 5001);
    EXPECT_EQ(repeated.config.unit_mode, UNIT_GBYTES);
    EXPECT_EQ(repeated.server_host, "host");
}

TEST(CommandLine, WindowAndCongestion) {
    const struct {
        const char* option;
        int32_t buffer;
    } windows[] = {{"--window=auto", 0},     {"--window=2048", 2048},
                   {"--window=64K", 65536},  {"--window=64k", 65536},
                   {"--window=4M", 4194304}, {"--window=1023M", 1023 * 1048576}};
    EXPECT_EQ(parse({"-s"}).config.socket_buffer, 131072);
    for (const auto& c : windows) {
        const Parsed parsed = parse({"-s", c.option});
        ASSERT_EQ(parsed.outcome, ParseOutcome::RUN) << c.option;
        EXPECT_EQ(parsed.config.socket_buffer, c.buffer) << c.option;
    }
    EXPECT_STREQ(parse({"-s"}).config.congestion, "");
    EXPECT_STREQ(parse({"-s", "--congestion=abcdefghijklmno"}).config.congestion,
                 "abcdefghijklmno");
}

TEST(CommandLine, RateIsInBitsPerSecondWithThousandsSuffixes) {
    const struct {
        const char* option;
        int64_t rate;
    } rates[] = {{"--rate=1", 1},          {"--rate=64000", 64000},
                 {"--rate=50M", 50000000}, {"--rate=50m", 50000000},
                 {"--rate=1.5K", 1500},    {"--rate=2.5g", 2500000000},
                 {"--rate=0.001K", 1},     {"--rate=1000G", 1000000000000}};
    EXPECT_EQ(parse({"-s"}).config.rate_bits_per_second, 0);
    for (const auto& c : rates) {
        const Parsed parsed = parse({"-s", c.option});
        ASSERT_EQ(parsed.outcome, ParseOutcome::RUN) << c.option;
        EXPECT_EQ(parsed.config.rate_bits_per_second, c.rate) << c.option;
    }
}

TEST(CommandLine, RepeatAndOmit) {
    const Parsed plain = parse({"-s"});
    EXPECT_EQ(plain.config.repeat, 1);
    EXPECT_EQ(plain.config.omit_microseconds, 0);
    EXPECT_FALSE(plain.config.watch_phases);
    EXPECT_EQ(parse({"-s", "--repeat=1000"}).config.repeat, 1000);
    const Parsed omit = parse({"-s", "--omit=2.5", "--time=4"});
    ASSERT_EQ(omit.outcome, ParseOutcome::RUN);
    EXPECT_EQ(omit.config.omit_microseconds, 2500000);
    // The omitted part is measured by the phase's watcher.
    EXPECT_TRUE(omit.config.watch_phases);
    EXPECT_EQ(parse({"-s", "--omit=5"}).config.omit_microseconds, 5000000);
}

TEST(CommandLine, Offload) {
    EXPECT_TRUE(parse({"-s"}).config.offload);
    EXPECT_TRUE(parse({"-s", "--offload=auto"}).config.offload);
    const Parsed off = parse({"-s", "--offload=off"});
    ASSERT_EQ(off.outcome, ParseOutcome::RUN);
    EXPECT_FALSE(off.config.offload);
    // The last one given holds.
    EXPECT_TRUE(parse({"-s", "--offload=off", "--offload=auto"}).config.offload);
}

// Figures are read only when some option asks for them: without one, a run is what it was.
TEST(CommandLine, FigureOptions) {
    const struct {
        std::vector<std::string> options;
        int64_t interval_microseconds;
        bool verbose;
        bool watch;
    } cases[] = {
        {{}, 0, false, false},
        {{"--interval=0.1"}, 100000, false, true},
        {{"--interval=2.25", "--time=3"}, 2250000, false, true},
        {{"--time=6", "--interval=6"}, 6000000, false, true},
        {{"--verbose"}, 0, true, true},
        {{"--json"}, 0, false, true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.begin(), "-s");
        const Parsed parsed = parse(arguments);
        ASSERT_EQ(parsed.outcome, ParseOutcome::RUN) << testing::PrintToString(c.options);
        EXPECT_EQ(parsed.config.interval_microseconds, c.interval_microseconds);
        EXPECT_EQ(parsed.config.verbose, c.verbose);
        EXPECT_EQ(parsed.config.watch_phases, c.watch) << testing::PrintToString(c.options);
    }
}

TEST(CommandLine, ServerControls) {
    const Parsed plain = parse({"-s"});
    EXPECT_TRUE(plain.config.allowed_clients.empty());
    EXPECT_EQ(plain.config.max_session_seconds, 0);
    // Each --allow adds its prefixes.
    const Parsed controlled =
        parse({"-s", "--allow=2001:db8::/32,192.0.2.0/24", "--allow=::1", "--max-session=86400"});
    ASSERT_EQ(controlled.outcome, ParseOutcome::RUN);
    ASSERT_EQ(controlled.config.allowed_clients.size(), 3U);
    EXPECT_EQ(controlled.config.allowed_clients[0].length, 32);
    EXPECT_EQ(controlled.config.allowed_clients[1].length, 96 + 24);
    EXPECT_EQ(controlled.config.allowed_clients[2].length, 128);
    EXPECT_EQ(controlled.config.max_session_seconds, 86400);
    EXPECT_EQ(parse({"-s", "--max-session=1"}).config.max_session_seconds, 1);
}

TEST(CommandLine, ServerProtocols) {
    const Parsed both = parse({"-s"});
    EXPECT_EQ(both.outcome, ParseOutcome::RUN);
    EXPECT_TRUE(both.config.server_mode && both.config.tcp_enabled && both.config.udp_enabled);

    const Parsed udp_only = parse({"-s", "-u"});
    EXPECT_FALSE(udp_only.config.tcp_enabled);
    EXPECT_TRUE(udp_only.config.udp_enabled);

    EXPECT_EQ(parse({"host"}).outcome, ParseOutcome::NO_PROTOCOL);
    EXPECT_EQ(parse({"-b", "1k", "-d", "host"}).outcome, ParseOutcome::USAGE);
}

TEST(CommandLine, PortGoesIntoAddressesAsItsLowBits) {
    const Parsed parsed = parse({"-p", "70000", "-t", "host"});
    EXPECT_EQ(parsed.config.tcp_port, 70000);
    EXPECT_EQ(ntohs(make_socket_address(in6addr_any, parsed.config.tcp_port).sin6_port), 4464);
    EXPECT_EQ(ntohs(make_socket_address(in6addr_any, parsed.config.udp_port).sin6_port), 4465);
}

std::string address_text(const in6_addr& address) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return text;
}

TEST(ResolveAddress, NumericTextAndLocalNames) {
    const struct {
        const char* text;
        const char* address;
    } cases[] = {
        {"::1", "::1"},
        {"2001:db8::1", "2001:db8::1"},
        {"fe80::1", "fe80::1"},
        // IPv4 text becomes a mapped address, never the unspecified one.
        {"192.0.2.1", "::ffff:192.0.2.1"},
        {"127.0.0.1", "::ffff:127.0.0.1"},
    };
    for (const auto& c : cases) {
        in6_addr target = in6addr_any;
        ASSERT_EQ(resolve_address(c.text, target), 0) << c.text;
        EXPECT_EQ(address_text(target), c.address) << c.text;
    }
    in6_addr local = in6addr_any;
    ASSERT_EQ(resolve_address("localhost", local), 0);
    const std::string text = address_text(local);
    EXPECT_TRUE(text == "::1" || text == "::ffff:127.0.0.1") << text;
}

TEST(Version, CutFromTheRevisionKeyword) {
    EXPECT_EQ(version_text(), "1.34");
}

}  // namespace
