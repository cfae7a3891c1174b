// Socket buffer sizes (--window) and TCP's congestion control (--congestion).
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "core/run_config.h"
#include "support/delay_path.h"
#include "support/process.h"
#include "support/tcp_transcript.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;

constexpr double RTT_MS = 20.0;

struct WindowCase {
    const char* name;
    std::string option;  // given to both sides; empty for the default
    double least;        // rate bounds, in bytes per round trip
    double most;
};

class WindowOverDelayPath : public testing::TestWithParam<WindowCase> {};

// Over a 20 ms path of 200 Mbit/s, the socket buffers bound TCP's rate to what they hold
// per round trip (Linux doubles the size asked, and its window follows the double), until
// auto leaves them to the kernel's tuning, which lifts the bound well past the default's.
TEST_P(WindowOverDelayPath, BuffersBoundTheRatePerRoundTrip) {
    const WindowCase& c = GetParam();
    DelayPath path({RTT_MS, 200, 0});
    if (!path.failure().empty()) {
        GTEST_SKIP() << "no delay path: " << path.failure();
    }
    const int port = fresh_port();
    std::vector<std::string> server_argv{flenko_short_path(),  "-s",      "-t", "-p",
                                         std::to_string(port), "--time=3"};
    std::vector<std::string> client_argv{
        flenko_short_path(), "-t", "-p", std::to_string(port), "-b", "32k", "--time=3", "--json"};
    if (!c.option.empty()) {
        server_argv.push_back(c.option);
        client_argv.push_back(c.option);
    }
    client_argv.push_back(path.server().address);
    ChildProcess server(path.command(path.server(), server_argv));
    ASSERT_TRUE(server.wait_for_output("TCP server listening.", seconds(20))) << server.err();
    const ProcessResult client = run_process(path.command(path.client(), client_argv), seconds(60));
    server.send_signal(SIGINT);
    ASSERT_EQ(client.exit_status, 0) << client.err;
    EXPECT_EQ(client.err.find("--window"), std::string::npos) << "root gets what it asks";
    const json document = json::parse(client.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << client.out;
    const json& result = document["results"][0];
    const double round_trips_per_second = 1000.0 / RTT_MS;
    for (const char* direction : {"tx", "rx"}) {
        SCOPED_TRACE(direction);
        const double rate = result[direction]["bytes_per_second"].get<double>();
        EXPECT_GE(rate, c.least * round_trips_per_second) << result[direction];
        EXPECT_LE(rate, c.most * round_trips_per_second) << result[direction];
    }
}

constexpr double DEFAULT_MOST = 2 * SOCKET_BUFFER_SIZE * 1.05;

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowOverDelayPath,
    testing::Values(WindowCase{"Default", "", SOCKET_BUFFER_SIZE / 4.0, DEFAULT_MOST},
                    WindowCase{"Small", "--window=32K", 32768 / 4.0, 2 * 32768 * 1.05},
                    // 200 Mbit/s is 500 KB per round trip: a third of it at the least.
                    WindowCase{"Auto", "--window=auto", DEFAULT_MOST * 1.2, 1e12}),
    [](const testing::TestParamInfo<WindowCase>& info) { return info.param.name; });

// The document and the verbose line say what was asked and what is in effect.
TEST(Window, AskedAndGrantedSizesAreReported) {
    const int port = fresh_port();
    const auto server = spawn({flenko_short_path(), "-s", "-t", "-p", std::to_string(port),
                               "--window=64K", "--congestion=reno", "--verbose"});
    ASSERT_TRUE(server->wait_for_output("TCP server listening.\n", seconds(5)));
    const ProcessResult result =
        run_process({flenko_short_path(), "-t", "-p", std::to_string(port), "-b", "8k",
                     "--window=64K", "--congestion=reno", "--json", "::1"},
                    seconds(20));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    ASSERT_TRUE(wait_for_count(*server, "Done.", 1, seconds(10))) << server->out();
    server->send_signal(SIGINT);
    const json document = json::parse(result.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << result.out;
    EXPECT_EQ(document["window"], 65536);
    EXPECT_EQ(document["congestion"], "reno");
    for (const char* direction : {"tx", "rx"}) {
        const json& phase = document["results"][0][direction];
        // As the kernel reports them: twice the size granted.
        EXPECT_EQ(phase["socket_buffers"]["send_bytes"], 2 * 65536) << phase;
        EXPECT_EQ(phase["socket_buffers"]["receive_bytes"], 2 * 65536) << phase;
        EXPECT_EQ(phase["tcp_info"]["congestion"], "reno") << phase;
    }
    EXPECT_TRUE(std::regex_search(
        server->out(), std::regex("congestion reno, sndbuf 128.0 KByte, rcvbuf 128.0 KByte")))
        << server->out();

    const ProcessResult automatic =
        run_process({flenko_short_path(), "-t", "-p", std::to_string(fresh_port()), "--window=auto",
                     "--json", "::1"});
    EXPECT_EQ(json::parse(automatic.out, nullptr, false)["window"], "auto") << automatic.out;
}

// Beyond the system's limit an unprivileged user gets less than asked: said once, and the
// run goes on.
TEST(Window, ShortfallIsToldOnceAndTheRunGoesOn) {
    const std::string setpriv = find_program("setpriv");
    if (setpriv.empty() ||
        run_process({setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/true"})
                .exit_status != 0) {
        GTEST_SKIP() << "cannot run as an unprivileged user (needs root and setpriv)";
    }
    std::ifstream limit_file("/proc/sys/net/core/rmem_max");
    long limit = 0;
    limit_file >> limit;
    if (limit <= 0 || limit >= 256L * 1024 * 1024) {
        GTEST_SKIP() << "net.core.rmem_max is unknown or too large to exceed";
    }
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);
    const ProcessResult result = run_process(
        {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", flenko_short_path(), "-t",
         "-p", std::to_string(port), "-b", "4k", "--window=256M", "::1"},
        seconds(20));
    server->send_signal(SIGINT);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_NE(result.out.find("Packet size  4k bytes: "), std::string::npos) << result.out;
    const std::regex told(
        "--window: the system granted socket buffers of [0-9]+ bytes, not the "
        "268435456 asked");
    const auto told_count = std::distance(
        std::sregex_iterator(result.err.begin(), result.err.end(), told), std::sregex_iterator());
    EXPECT_EQ(told_count, 1) << result.err;
}

std::string first_line(const char* path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// An algorithm the kernel does not offer ends the run before any connection, naming those
// it does.
TEST(Congestion, UnknownAlgorithmIsRefusedBeforeConnecting) {
    for (const char* role : {"-s", "-t"}) {
        const ProcessResult result =
            run_process({flenko_short_path(), role, "-p", std::to_string(fresh_port()),
                         "--congestion=nosuchalgo", "::1"});
        EXPECT_EQ(result.exit_status, 1) << role;
        EXPECT_EQ(result.err,
                  "--congestion: this system does not offer nosuchalgo; it offers: " +
                      first_line("/proc/sys/net/ipv4/tcp_available_congestion_control") + "\n")
            << role;
        EXPECT_EQ(result.out.find("connection"), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("listening"), std::string::npos) << result.out;
    }
}

}  // namespace
