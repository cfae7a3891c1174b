// --rate end to end: what the receiving side measures is the rate asked for.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/netns.h"
#include "support/process.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;

constexpr double RATE_BITS = 20e6;
// Both sides time a phase with their own clocks from records that cross the link; on a
// slow, busy machine each end may start or stop some milliseconds apart: 1 % of three
// seconds is 30.
constexpr double RATE_TOLERANCE = 0.01;
constexpr auto RUN_LIMIT = seconds(60);

struct PacedCase {
    const char* name;
    bool udp;
    const char* block;
};

void PrintTo(const PacedCase& paced, std::ostream* out) {
    *out << paced.name;
}

// The figures only a receiver of numbered datagrams knows, as numbers or as null.
void expect_order_figures(const json& phase, bool known) {
    for (const char* field : {"lost_by_sequence", "out_of_order", "duplicates", "jitter_ms"}) {
        ASSERT_TRUE(phase.contains(field)) << field << " missing: " << phase.dump(1);
        EXPECT_EQ(phase[field].is_number(), known) << field << ": " << phase.dump(1);
        EXPECT_EQ(phase[field].is_null(), !known) << field << ": " << phase.dump(1);
    }
    if (known) {
        EXPECT_EQ(phase["duplicates"], 0);
        EXPECT_EQ(phase["out_of_order"], 0);
        EXPECT_GE(phase["jitter_ms"].get<double>(), 0.0);
    }
}

// The phase as the receiver measured it, within the tolerance of the rate. A receiver that
// stalls on a busy machine (under a sanitizer, say) loses datagrams its sender paced
// correctly: those the sequence numbers show missing count as offered.
void expect_paced(const json& phase, const char* who, bool udp) {
    SCOPED_TRACE(who);
    ASSERT_TRUE(phase["bytes_per_second"].is_number()) << phase.dump(1);
    double bits = phase["bytes_per_second"].get<double>() * 8;
    if (udp) {
        ASSERT_TRUE(phase["datagrams"].is_number() && phase["lost_by_sequence"].is_number())
            << phase.dump(1);
        const auto arrived = phase["datagrams"].get<double>();
        ASSERT_GT(arrived, 0) << phase.dump(1);
        bits *= (arrived + phase["lost_by_sequence"].get<double>()) / arrived;
    }
    EXPECT_NEAR(bits / RATE_BITS, 1.0, RATE_TOLERANCE) << bits << " bit/s: " << phase.dump(1);
}

class PacedRate : public ::testing::TestWithParam<PacedCase> {};

// Both sides pace what they send; each receiver's figure is the rate. UDP runs between two
// hosts whose link carries five times the rate, so unpaced datagrams would show; TCP runs
// over loopback.
TEST_P(PacedRate, ReceiversMeasureTheRateAskedFor) {
    const PacedCase& paced = GetParam();
    NetnsPair hosts;
    const bool across = paced.udp;
    if (across && !hosts.failure().empty()) {
        GTEST_SKIP() << "no namespaces: " << hosts.failure();
    }
    if (across) {
        const std::string tc = find_program("tc");
        ASSERT_FALSE(tc.empty());
        for (const NetnsHost* host : {&hosts.client(), &hosts.server()}) {
            ASSERT_EQ(hosts.run(*host, {tc, "qdisc", "replace", "dev", host->device, "root", "tbf",
                                        "rate", "100mbit", "burst", "64kb", "limit", "1mb"}),
                      "");
        }
    }
    const auto where = [&](const NetnsHost& host, const std::vector<std::string>& argv) {
        return across ? hosts.command(host, argv) : argv;
    };
    const std::string protocol = paced.udp ? "-u" : "-t";
    const std::string port = std::to_string(fresh_port());
    const std::string rate = "--rate=20M";
    ChildProcess server(where(hosts.server(), {flenko_short_path(), "-s", protocol, "-p", port,
                                               "--time=3", rate, "--json"}));
    ASSERT_TRUE(server.wait_for_error(paced.udp ? "UDP server listening." : "TCP server listening.",
                                      seconds(5)))
        << server.err();
    const ProcessResult client =
        run_process(where(hosts.client(),
                          {flenko_short_path(), protocol, "-b", paced.block, "-p", port, "--time=3",
                           rate, "--json", across ? hosts.server().address : "::1"}),
                    RUN_LIMIT);
    ASSERT_EQ(client.exit_status, 0) << client.err;
    const json document = json::parse(client.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << client.out;
    ASSERT_EQ(document["results"].size(), 1U) << client.out;
    const json& result = document["results"][0];
    expect_paced(result["rx"], "client receiving", paced.udp);
    if (paced.udp) {
        expect_order_figures(result["rx"], true);
        // What the server learned of the client's datagrams stays with the server.
        expect_order_figures(result["tx"], false);
    }

    ASSERT_TRUE(server.wait_for_output("\"direction\":\"tx\"", seconds(20))) << server.out();
    server.send_signal(SIGINT);
    const ProcessResult served = server.finish(seconds(10));
    const std::vector<std::string> lines = lines_of(served.out);
    ASSERT_EQ(lines.size(), 2U) << served.out;
    const json received = json::parse(lines[0], nullptr, false);
    ASSERT_EQ(received["direction"], "rx") << lines[0];
    expect_paced(received, "server receiving", paced.udp);
    if (paced.udp) {
        expect_order_figures(received, true);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, PacedRate,
    ::testing::Values(PacedCase{"Udp1k", true, "1k"}, PacedCase{"Udp32767", true, "32767"},
                      PacedCase{"Tcp1k", false, "1k"}, PacedCase{"Tcp32767", false, "32767"}),
    [](const testing::TestParamInfo<PacedCase>& info) { return std::string(info.param.name); });

}  // namespace
