// --repeat and --omit end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "support/netns.h"
#include "support/process.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;

constexpr int PASSES = 5;

// The statistics of a direction, recomputed from its samples.
void expect_statistics_of_samples(const json& direction) {
    const json& samples = direction["samples"];
    ASSERT_EQ(samples.size(), static_cast<size_t>(PASSES)) << direction.dump(1);
    std::vector<double> rates;
    for (const json& sample : samples) {
        ASSERT_FALSE(sample["failed"].get<bool>()) << sample;
        rates.push_back(sample["bytes_per_second"].get<double>());
    }
    double mean = 0;
    for (const double rate : rates) {
        mean += rate / PASSES;
    }
    double squares = 0;
    for (const double rate : rates) {
        squares += (rate - mean) * (rate - mean);
    }
    const double stdev = std::sqrt(squares / (PASSES - 1));
    const double half_width = 2.776445 * stdev / std::sqrt(PASSES);  // t(0.975, 4)
    const json& statistics = direction["statistics"];
    EXPECT_EQ(statistics["samples"], PASSES);
    EXPECT_EQ(statistics["failed"], 0);
    const json& figures = statistics["bytes_per_second"];
    const double tolerance = mean * 1e-9;
    EXPECT_NEAR(figures["mean"].get<double>(), mean, tolerance);
    EXPECT_NEAR(figures["stdev"].get<double>(), stdev, tolerance);
    EXPECT_NEAR(figures["min"].get<double>(), *std::min_element(rates.begin(), rates.end()),
                tolerance);
    EXPECT_NEAR(figures["max"].get<double>(), *std::max_element(rates.begin(), rates.end()),
                tolerance);
    EXPECT_NEAR(figures["ci95"][0].get<double>(), mean - half_width, mean * 1e-6);
    EXPECT_NEAR(figures["ci95"][1].get<double>(), mean + half_width, mean * 1e-6);
}

// "12.34" as the text prints a figure of the document's rate object.
std::string in_text(const json& rate, const char* field, int index = -1) {
    const double value = index < 0 ? rate[field].get<double>() : rate[field][index].get<double>();
    const std::string unit = rate["unit"].get<std::string>();
    const char* format = unit == "Byte/s" ? "%.0f" : unit == "GByte/s" ? "%.3f" : "%.2f";
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

// Five passes on one connection: every pass prints its result line, then a summary whose
// figures are the document's, and the document's statistics follow from its samples.
TEST(Repeat, SummarizesEveryPassAndTheTextMatchesTheDocument) {
    const std::string port = std::to_string(fresh_port());
    ChildProcess server({flenko_short_path(), "-s", "-t", "-p", port});
    ASSERT_TRUE(server.wait_for_output("TCP server listening.", seconds(5))) << server.err();
    const ProcessResult client =
        run_process({flenko_short_path(), "-t", "-p", port, "-b", "8k", "--time=1",
                     "--repeat=" + std::to_string(PASSES), "--json", "::1"},
                    seconds(60));
    ASSERT_EQ(client.exit_status, 0) << client.err;
    const json document = json::parse(client.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << client.out;
    EXPECT_EQ(document["repeat"], PASSES);
    EXPECT_TRUE(document["completed"].get<bool>());
    ASSERT_EQ(document["results"].size(), 1U);
    const json& result = document["results"][0];

    size_t result_lines = 0;
    for (const std::string& line : lines_of(client.err)) {
        result_lines += line.rfind("Packet size  8k bytes: ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(result_lines, static_cast<size_t>(PASSES)) << client.err;
    EXPECT_NE(client.err.find("\nSummary of 5 passes: "), std::string::npos) << client.err;

    for (const char* direction : {"tx", "rx"}) {
        SCOPED_TRACE(direction);
        expect_statistics_of_samples(result[direction]);
        const json& rate = result[direction]["statistics"]["rate"];
        const std::string expected =
            std::string("Packet size  8k bytes ") + (direction[0] == 't' ? "Tx" : "Rx") + ": " +
            in_text(rate, "mean") + " " + rate["unit"].get<std::string>() + ", 95 % CI " +
            in_text(rate, "ci95", 0) + " - " + in_text(rate, "ci95", 1) + ", sd " +
            in_text(rate, "stdev") + ", min " + in_text(rate, "min") + ", max " +
            in_text(rate, "max") + "\n";
        EXPECT_NE(client.err.find(expected), std::string::npos) << expected << client.err;
    }
}

// A link whose bucket lets the first second through at twice its rate: left out, the
// rest shows the link's rate; counted, the phase would show a third more.
TEST(Omit, RatesLeaveTheFirstSecondOut) {
    NetnsPair hosts;
    if (!hosts.failure().empty()) {
        GTEST_SKIP() << "no namespaces: " << hosts.failure();
    }
    const std::string tc = find_program("tc");
    ASSERT_FALSE(tc.empty());
    // 10 Mbit/s, with a bucket holding a second of it.
    ASSERT_EQ(
        hosts.run(hosts.client(), {tc, "qdisc", "replace", "dev", hosts.client().device, "root",
                                   "tbf", "rate", "10mbit", "burst", "1250kb", "limit", "2mb"}),
        "");
    const std::string port = std::to_string(fresh_port());
    ChildProcess server(hosts.command(hosts.server(), {flenko_short_path(), "-s", "-t", "-p", port,
                                                       "--time=3", "--omit=1", "--json"}));
    ASSERT_TRUE(server.wait_for_error("TCP server listening.", seconds(5))) << server.err();
    const ProcessResult client = run_process(
        hosts.command(hosts.client(), {flenko_short_path(), "-t", "-p", port, "-b", "8k",
                                       "--time=3", "--omit=1", "--json", hosts.server().address}),
        seconds(60));
    ASSERT_EQ(client.exit_status, 0) << client.err;
    ASSERT_TRUE(server.wait_for_output("\"direction\":\"tx\"", seconds(20))) << server.out();
    server.send_signal(SIGINT);
    const std::vector<std::string> lines = lines_of(server.finish(seconds(10)).out);
    ASSERT_EQ(lines.size(), 2U);
    const json received = json::parse(lines[0], nullptr, false);
    ASSERT_EQ(received["direction"], "rx") << lines[0];

    // The receiver's view of the client's phase: the last two of its three seconds.
    const json& omitted = received["omitted"];
    ASSERT_TRUE(omitted.is_object()) << lines[0];
    EXPECT_NEAR(omitted["seconds"].get<double>(), 1.0, 0.1) << lines[0];
    EXPECT_NEAR(received["seconds"].get<double>(), 2.0, 0.3) << lines[0];
    const double kept_bits = received["bytes_per_second"].get<double>() * 8;
    EXPECT_NEAR(kept_bits / 10e6, 1.0, 0.1) << lines[0];
    const double whole_bits =
        (received["bytes"].get<double>() + omitted["bytes"].get<double>()) * 8 /
        (received["seconds"].get<double>() + omitted["seconds"].get<double>());
    EXPECT_GT(whole_bits, kept_bits * 1.15) << lines[0];

    // The client's own view of its sending leaves the same second out.
    const json document = json::parse(client.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << client.out;
    EXPECT_EQ(document["omit_seconds"], 1.0);
    const json& tx = document["results"][0]["tx"];
    // The sender's clock stops when its last send returns: through a slow link with a full
    // socket buffer that send waits for the kernel to drain room, a tenth of a second or so.
    EXPECT_NEAR(tx["seconds"].get<double>(), 2.0, 0.3) << tx;
    EXPECT_NEAR(tx["bytes_per_second"].get<double>() * 8 / 10e6, 1.0, 0.15) << tx;
}

}  // namespace
