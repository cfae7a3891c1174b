#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "support/netns.h"
#include "support/process.h"
#include "support/tcp_transcript.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;

// A timed phase ends with the block in flight when its alarm fires, and the peer's phase
// reaches this client late on a slow or sanitized machine; a wrong length is a second off.
// Under ThreadSanitizer on a machine loaded three times over a UDP sender was seen to end
// 0.45 s late.
constexpr double PHASE_SLACK_SECONDS = 0.6;

const std::string BANNER =
    "\nFLENKO - Network Throughput Benchmark, Version 1.34\nWritten by the FLENKO developers\n";

TEST(LongOptions, VersionAndHelp) {
    const ProcessResult version = run_process({flenko_path(), "--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "1.34\n");

    const ProcessResult help = run_process({flenko_path(), "--help"});
    const ProcessResult usage = run_process({flenko_path(), "-?"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind(usage.out, 0), 0U) << "the usage text comes first";
    const std::string rest = help.out.substr(usage.out.size());
    EXPECT_NE(rest.find("--json"), std::string::npos) << rest;
    EXPECT_NE(rest.find("--time=<sec>"), std::string::npos) << rest;
    EXPECT_NE(rest.find("1 to 3600 (default 6)"), std::string::npos) << rest;
    // A help text that shows only the default still shows the default.
    EXPECT_NE(rest.find("(default 131072)"), std::string::npos) << rest;
    EXPECT_NE(rest.find("95 % confidence"), std::string::npos) << rest;
}

// Bad values are bad options: the usage text and status 1, before any connection.
TEST(LongOptions, BadValuesAreBadUse) {
    const std::string usage = run_process({flenko_path(), "-?"}).out;
    const std::vector<std::vector<std::string>> cases = {
        {"--time=0"},
        {"--time=3601"},
        {"--time=abc"},
        {"--time=5s"},
        {"--time="},
        {"--time=-1"},
        {"--time=+5"},
        {"--time=99999999999999999999"},
        {"--time"},
        {"--jsonx"},
        {"--interval=0.09"},
        {"--interval=0"},
        {"--interval=6.01"},
        {"--interval=.5"},
        {"--interval=1."},
        {"--interval=1e0"},
        {"--interval=0x1"},
        {"--interval=-1"},
        {"--interval= 1"},
        {"--interval=1s"},
        {"--interval="},
        {"--interval"},
        // Longer than the phase, whichever comes first.
        {"--time=2", "--interval=2.5"},
        {"--interval=2.5", "--time=2"},
        {"--verbose=1"},
        {"--verbosity"},
        {"--window=0"},
        {"--window=-1"},
        {"--window=2047"},
        {"--window=1G"},
        {"--window=64KB"},
        {"--window=64K "},
        {"--window=1024M"},
        {"--window=99999999999999999999"},
        {"--window="},
        {"--window=Auto"},
        {"--window"},
        {"--congestion="},
        {"--congestion=abcdefghijklmnop"},
        {"--congestion"},
        {"--rate=0"},
        {"--rate=0M"},
        {"--rate=0.5"},
        {"--rate=-1M"},
        {"--rate=10T"},
        {"--rate=10Mbit"},
        {"--rate=10 M"},
        {"--rate=10M "},
        {"--rate=1.M"},
        {"--rate=.5M"},
        {"--rate=1e6"},
        {"--rate=1001G"},
        {"--rate=99999999999999999999999999999"},
        {"--rate=M"},
        {"--rate="},
        {"--rate"},
        {"--repeat=0"},
        {"--repeat=1001"},
        {"--repeat=-1"},
        {"--repeat=2x"},
        {"--repeat=1.5"},
        {"--repeat=99999999999999999999"},
        {"--repeat="},
        {"--omit=-1"},
        {"--omit=5.01"},
        {"--omit=1s"},
        {"--omit=.5"},
        {"--omit="},
        {"--offload=on"},
        {"--offload=Auto"},
        {"--offload=aut"},
        {"--offload=auto|off"},
        {"--offload=off "},
        {"--offload="},
        {"--offload"},
        // One second less than the phase at most, whichever comes first.
        {"--time=2", "--omit=1.5"},
        {"--omit=2", "--time=2"}};
    for (const std::vector<std::string>& values : cases) {
        std::vector<std::string> arguments{flenko_path(), "-t"};
        arguments.insert(arguments.end(), values.begin(), values.end());
        arguments.emplace_back("::1");
        const ProcessResult result = run_process(arguments);
        EXPECT_EQ(result.exit_status, 1) << values[0];
        EXPECT_EQ(result.out, usage) << values[0];
    }
}

// A server's bad controls end it before it opens a socket: it never listens.
TEST(LongOptions, BadServerControlsAreBadUse) {
    const std::string usage = run_process({flenko_path(), "-?"}).out;
    for (const char* value :
         {"--allow=2001:db8::/129", "--allow=10.0.0.0/33", "--allow=abc/8", "--allow=::1,",
          "--allow=::1/64x", "--allow=", "--allow", "--max-session=0", "--max-session=86401",
          "--max-session=-1", "--max-session=1.5", "--max-session=10s", "--max-session="}) {
        // The port after the bad value: parsing stops before it, and the usage text shows the
        // default one.
        const ProcessResult result = run_process(
            {flenko_path(), "-s", value, "-p", std::to_string(fresh_port())}, seconds(10));
        EXPECT_EQ(result.exit_status, 1) << value;
        EXPECT_EQ(result.out, usage) << value;
    }
}

// Long options after the operand are never seen, like short ones.
TEST(LongOptions, ParsingStopsAtTheOperand) {
    const ProcessResult no_protocol = run_process({flenko_path(), "::1", "--json", "-t"});
    EXPECT_EQ(no_protocol.exit_status, 0);
    EXPECT_EQ(no_protocol.out, BANNER + "\n");

    // --time=0 would be bad use; unseen, the client just runs (and finds no server).
    const int port = fresh_port();
    const ProcessResult client =
        run_process({flenko_path(), "-t", "-p", std::to_string(port), "::1", "--time=0"});
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_EQ(client.out, BANNER + "\n");
    EXPECT_EQ(client.err, "connect(): Connection refused\n");
}

json parse_document(const ProcessResult& result) {
    json document = json::parse(result.out, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << "not one JSON document:\n" << result.out;
    return document;
}

// The text a result line shows for a phase, rebuilt from the document's figures.
std::string rate_text(const json& phase) {
    const std::string unit = phase["unit"];
    const int decimals = unit == "Byte/s" ? 0 : unit == "GByte/s" ? 3 : 2;
    char text[64];
    snprintf(text, sizeof text, " %.*f %s", decimals, phase["rate"].get<double>(), unit.c_str());
    return text;
}

// A JSON run carries exactly the figures of the text lines, which move to standard error;
// --time sets the length of the phases each side sends, on the client and on the server.
TEST(JsonOutput, TcpRunMatchesTheTextAndHonoursTime) {
    const int port = fresh_port();
    const auto server =
        spawn({flenko_short_path(), "-s", "-t", "--time=2", "-p", std::to_string(port)});
    ASSERT_TRUE(server->wait_for_output("TCP server listening.\n", seconds(5)));

    const ProcessResult result = run_process({flenko_short_path(), "-t", "--json", "--time=3", "-b",
                                              "1k", "-p", std::to_string(port), "::1"},
                                             seconds(20));
    EXPECT_EQ(result.exit_status, 0);
    const json document = parse_document(result);
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(document["program"], "flenko");
    EXPECT_EQ(document["version"], "1.34");
    EXPECT_EQ(document["protocol"], "tcp");
    EXPECT_EQ(document["server"]["given"], "::1");
    EXPECT_EQ(document["server"]["resolved"], "::1");
    EXPECT_EQ(document["port"], port);
    EXPECT_EQ(document["phase_seconds"], 3);
    EXPECT_EQ(document["unit_mode"], "auto");
    EXPECT_EQ(document["completed"], true);
    EXPECT_TRUE(document["ended_early"].is_null());
    ASSERT_EQ(document["results"].size(), 1U);

    const json& size = document["results"][0];
    EXPECT_EQ(size["block_size"], 1024);
    EXPECT_EQ(size["label"], " 1k");
    const json& tx = size["tx"];
    const json& rx = size["rx"];
    EXPECT_EQ(tx["failed"], false);
    EXPECT_NEAR(tx["seconds"].get<double>(), 3.0, PHASE_SLACK_SECONDS) << "this client's own phase";
    EXPECT_NEAR(rx["seconds"].get<double>(), 2.0, PHASE_SLACK_SECONDS) << "the server's phase";
    EXPECT_EQ(tx["ticks"].get<double>() / 1024, tx["seconds"].get<double>());
    EXPECT_NEAR(tx["bytes_per_second"].get<double>(),
                tx["bytes"].get<double>() / tx["seconds"].get<double>(), 1.0);
    EXPECT_FALSE(tx.contains("loss_percent"));

    const std::string line =
        "Packet size  1k bytes: " + rate_text(tx) + " Tx, " + rate_text(rx) + " Rx.\nDone.\n\n";
    EXPECT_NE(result.err.find(BANNER + "\nTCP connection established.\n" + line), std::string::npos)
        << "text lines on standard error:\n"
        << result.err;
    server->send_signal(SIGINT);
}

TEST(JsonOutput, RunThatEndsEarlyStillGivesADocument) {
    const int port = fresh_port();
    const ProcessResult refused =
        run_process({flenko_short_path(), "-t", "--json", "-K", "-p", std::to_string(port), "::1"});
    EXPECT_EQ(refused.exit_status, 0);
    const json document = parse_document(refused);
    EXPECT_EQ(document["completed"], false);
    EXPECT_EQ(document["ended_early"], "no connection to the server");
    EXPECT_EQ(document["unit_mode"], "kbytes");
    EXPECT_TRUE(document["results"].empty());
    EXPECT_NE(refused.err.find("connect(): "), std::string::npos);
}

// A host name is user input: whatever bytes it holds, the document stays valid JSON and
// gives them back.
TEST(JsonOutput, HostTextIsEscaped) {
    if (run_process({"/usr/bin/unshare", "-n", "/bin/true"}).exit_status != 0) {
        GTEST_SKIP() << "cannot make an empty network namespace (needs root and unshare)";
    }
    const std::string host = "bad\"host\\\n\t\x01 caf\xc3\xa9";
    const ProcessResult result =
        run_process({"/usr/bin/unshare", "-n", flenko_short_path(), "-u", "--json", host});
    EXPECT_EQ(result.exit_status, 1);
    const json document = parse_document(result);
    EXPECT_EQ(document["server"]["given"], host);
    EXPECT_TRUE(document["server"]["resolved"].is_null());
    EXPECT_EQ(document["protocol"], "udp");
    EXPECT_EQ(document["completed"], false);
    EXPECT_EQ(document["ended_early"], "host lookup failed");

    const ProcessResult invalid =
        run_process({"/usr/bin/unshare", "-n", flenko_short_path(), "-t", "--json", "x\xff\xc3y"});
    EXPECT_EQ(parse_document(invalid)["server"]["given"], "x\xef\xbf\xbd\xef\xbf\xbdy");
}

// UDP runs add the loss share of each direction. Phases longer than the idle limit on both
// sides: each side waits through the other's datagram phase.
TEST(JsonOutput, UdpRunGivesLosses) {
    NetnsPair hosts;
    if (!hosts.failure().empty()) {
        GTEST_SKIP() << hosts.failure();
    }
    const int port = fresh_port();
    ChildProcess server(hosts.command(
        hosts.server(), {flenko_short_path(), "-s", "-u", "--time=6", "-p", std::to_string(port)}));
    ASSERT_TRUE(server.wait_for_output("UDP server listening.\n", seconds(5)));
    const ProcessResult result = run_process(
        hosts.command(hosts.client(), {flenko_short_path(), "-u", "--json", "--time=7", "-b", "1k",
                                       "-p", std::to_string(port), hosts.server().address}),
        seconds(30));
    server.send_signal(SIGINT);
    EXPECT_EQ(result.exit_status, 0);
    const json document = parse_document(result);
    EXPECT_EQ(document["completed"], true);
    EXPECT_EQ(document["port"], port + 1);
    EXPECT_NEAR(document["results"][0]["tx"]["seconds"].get<double>(), 7.0, PHASE_SLACK_SECONDS);
    EXPECT_NEAR(document["results"][0]["rx"]["seconds"].get<double>(), 6.0, PHASE_SLACK_SECONDS);
    const json& size = document["results"][0];
    const std::regex line("Packet size  1k bytes: " + literal(rate_text(size["tx"])) +
                          " \\((-?[0-9]+)%\\) Tx, " + literal(rate_text(size["rx"])) +
                          " \\((-?[0-9]+)%\\) Rx\\.");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.err, match, line)) << result.err;
    EXPECT_EQ(std::stoi(match[1]), size["tx"]["loss_percent"].get<int>());
    EXPECT_EQ(std::stoi(match[2]), size["rx"]["loss_percent"].get<int>());
}

}  // namespace
