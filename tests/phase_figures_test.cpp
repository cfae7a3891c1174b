// Interval reports, TCP's own figures and CPU use, over loopback.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/tcp_transcript.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;

const std::string RATE =
    " (?:[0-9]+ Byte/s|[0-9]+\\.[0-9]{2} [KM]Byte/s|[0-9]+\\.[0-9]{3} GByte/s)";
const std::string NUMBER = "[0-9]+(?:\\.[0-9]+)?";
const std::string CPU = "cpu " + NUMBER + " %, user " + NUMBER + " s, system " + NUMBER + " s";
const std::string BUFFERS =
    ", congestion [a-z0-9_]+, sndbuf " + NUMBER + " KByte, rcvbuf " + NUMBER + " KByte; ";
const std::string TX_FIGURES = "Tx: retransmits [0-9]+, rtt " + NUMBER + " ms, rttvar " + NUMBER +
                               " ms, cwnd " + NUMBER + " KByte, pmtu [0-9]+" + BUFFERS + CPU;
const std::string RX_FIGURES = "Rx: rcv_rtt (?:" + NUMBER + "|\\?) ms, rcv_space " + NUMBER +
                               " KByte, pmtu [0-9]+" + BUFFERS + CPU;

std::string interval_line(const std::string& label, bool tcp_sending) {
    return "\\[" + label + "\\] +" + NUMBER + "- +" + NUMBER + " s +[0-9]+ bytes " + RATE +
           (tcp_sending ? ", retransmits [0-9]+, rtt " + NUMBER + " ms, cwnd " + NUMBER + " KByte"
                        : "");
}

std::vector<std::string> server_command(int port, const std::vector<std::string>& options) {
    std::vector<std::string> command{flenko_short_path(), "-s", "-t", "-p", std::to_string(port)};
    command.insert(command.end(), options.begin(), options.end());
    return command;
}

std::vector<std::string> client_command(int port, const std::vector<std::string>& options) {
    std::vector<std::string> command{flenko_short_path(), "-t", "-p", std::to_string(port)};
    command.insert(command.end(), options.begin(), options.end());
    command.emplace_back("::1");
    return command;
}

// Every interval of a phase follows the one before without a gap, the first starts with the
// phase, and together they hold exactly the phase's bytes.
void expect_intervals_cover(const json& phase, size_t count, const char* direction) {
    SCOPED_TRACE(direction);
    const json& intervals = phase["intervals"];
    ASSERT_EQ(intervals.size(), count) << phase.dump(1);
    int64_t bytes = 0;
    double end = 0.0;
    for (const json& interval : intervals) {
        EXPECT_EQ(interval["start"].get<double>(), end);
        end = interval["end"].get<double>();
        EXPECT_GT(end, interval["start"].get<double>());
        bytes += interval["bytes"].get<int64_t>();
    }
    EXPECT_EQ(bytes, phase["bytes"].get<int64_t>());
    EXPECT_NEAR(end, phase["seconds"].get<double>(), 0.5);
}

// What TCP_INFO gave is there, with values a live connection has.
void expect_tcp_and_cpu_figures(const json& phase, bool sending) {
    const json& tcp = phase["tcp_info"];
    if (sending) {
        EXPECT_GE(tcp["retransmits"].get<int64_t>(), 0) << tcp;
        EXPECT_GT(tcp["rtt_ms"].get<double>(), 0.0) << tcp;
        EXPECT_GE(tcp["rttvar_ms"].get<double>(), 0.0) << tcp;
        EXPECT_GT(tcp["cwnd_bytes"].get<int64_t>(), 0) << tcp;
        for (const json& interval : phase["intervals"]) {
            EXPECT_GE(interval["retransmits"].get<int64_t>(), 0) << interval;
            EXPECT_GT(interval["cwnd_bytes"].get<int64_t>(), 0) << interval;
        }
    } else {
        EXPECT_GT(tcp["rcv_space_bytes"].get<int64_t>(), 0) << tcp;
        EXPECT_FALSE(tcp.contains("retransmits")) << tcp;
    }
    EXPECT_GT(tcp["pmtu"].get<int64_t>(), 0) << tcp;
    const json& cpu = phase["cpu"];
    EXPECT_GE(cpu["user_seconds"].get<double>(), 0.0) << cpu;
    EXPECT_GE(cpu["system_seconds"].get<double>(), 0.0) << cpu;
    // Both threads of a process on two cores at most, with the clocks' rounding.
    EXPECT_GE(cpu["percent"].get<double>(), 0.0) << cpu;
    EXPECT_LE(cpu["percent"].get<double>(), 210.0) << cpu;
}

TEST(PhaseFigures, TcpIntervalsAddUpToThePhaseAndCarryTcpFigures) {
    const int port = fresh_port();
    const auto server = spawn(server_command(port, {"--time=3"}));
    ASSERT_TRUE(server->wait_for_output("TCP server listening.\n", seconds(5)));
    const ProcessResult result = run_process(
        client_command(port, {"--interval=1", "--time=3", "--json", "-b", "8k"}), seconds(40));
    server->send_signal(SIGINT);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const json document = json::parse(result.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << result.out;
    ASSERT_EQ(document["results"].size(), 1U);
    const json& size = document["results"][0];
    expect_intervals_cover(size["tx"], 3, "tx");
    expect_intervals_cover(size["rx"], 3, "rx");
    expect_tcp_and_cpu_figures(size["tx"], true);
    expect_tcp_and_cpu_figures(size["rx"], false);
}

// --json alone reads the figures but leaves intervals out; without any of the options the
// document has none of them.
TEST(PhaseFigures, DocumentHoldsIntervalsOnlyWhenAsked) {
    const int port = fresh_port();
    const auto server = spawn(server_command(port, {}));
    ASSERT_TRUE(server->wait_for_output("TCP server listening.\n", seconds(5)));
    const ProcessResult result =
        run_process(client_command(port, {"--json", "-b", "4k"}), seconds(20));
    server->send_signal(SIGINT);
    const json document = json::parse(result.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << result.out;
    for (const char* direction : {"tx", "rx"}) {
        const json& phase = document["results"][0][direction];
        EXPECT_FALSE(phase.contains("intervals")) << phase;
        EXPECT_TRUE(phase.contains("tcp_info")) << phase;
        EXPECT_TRUE(phase.contains("cpu")) << phase;
    }
}

// The result lines stay whole and unchanged between the interval lines, and the verbose
// line follows each of them, on both sides.
TEST(PhaseFigures, TextLinesStayWholeBetweenIntervalsAndFigures) {
    const int port = fresh_port();
    const auto server = spawn(server_command(port, {"--interval=0.3", "--verbose"}));
    ASSERT_TRUE(server->wait_for_output("TCP server listening.\n", seconds(5)));
    const ProcessResult result =
        run_process(client_command(port, {"--interval=0.3", "--verbose", "-b", "8k"}), seconds(20));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    ASSERT_TRUE(server->wait_for_output("\nDone.", seconds(10))) << server->out();
    server->send_signal(SIGINT);

    const std::vector<std::string> client = lines_of(result.out);
    const std::regex tx_interval(interval_line(" 8k Tx", true));
    const std::regex rx_interval(interval_line(" 8k Rx", false));
    const std::regex result_line("Packet size  8k bytes: " + RATE + " Tx, " + RATE + " Rx\\.");
    const std::regex figures_line("  " + TX_FIGURES + "  " + RX_FIGURES);
    std::vector<std::string> shapes;  // one letter a line: t, r, R(esult), F(igures), other
    for (const std::string& line : client) {
        shapes.emplace_back(std::regex_match(line, tx_interval)    ? "t"
                            : std::regex_match(line, rx_interval)  ? "r"
                            : std::regex_match(line, result_line)  ? "R"
                            : std::regex_match(line, figures_line) ? "F"
                                                                   : "(" + line + ")");
    }
    std::string shape;
    for (const std::string& letter : shapes) {
        shape += letter;
    }
    // One-second phases cut in 0.3 s: three full intervals and the rest, in each direction.
    EXPECT_TRUE(std::regex_search(shape, std::regex("^\\(\\)\\(FLENKO .*\\)\\(Written by "
                                                    "the FLENKO developers\\)\\(\\)\\(TCP "
                                                    "connection established\\.\\)t{3,5}r{3,5}RF"
                                                    "\\(Done\\.\\)\\(\\)$")))
        << shape;

    const std::string& served = server->out();
    EXPECT_TRUE(std::regex_search(
        served, std::regex("(\n" + interval_line(" 8k Rx", false) + "){3,5}" +
                           "\nReceiving from client, packet size  8k ... " + RATE + "\n  " +
                           RX_FIGURES + "(\n" + interval_line(" 8k Tx", true) + "){3,5}" +
                           "\nSending to client, packet size  8k ... " + RATE + "\n  " +
                           TX_FIGURES + "\nDone\\.")))
        << served;
}

// Each side times intervals against its own clock, whatever length the peer gives its
// phases: no phase ends in a sliver of an interval, and none is cut into unequal halves.
TEST(PhaseFigures, IntervalsKeepTheirLengthWhenThePeersPhasesDiffer) {
    const int port = fresh_port();
    const auto server = spawn(server_command(port, {"--json", "--interval=0.3"}));
    ASSERT_TRUE(server->wait_for_error("TCP server listening.\n", seconds(5))) << server->err();
    const ProcessResult result = run_process(
        client_command(port, {"--time=3", "--interval=0.3", "--json", "-b", "8k"}), seconds(30));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(wait_for_count(*server, "\n", 2, seconds(10))) << server->out();
    server->send_signal(SIGINT);
    const ProcessResult served = server->finish(seconds(5));

    std::vector<json> phases;
    const json document = json::parse(result.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << result.out;
    phases.push_back(document["results"][0]["tx"]);  // 3 s
    phases.push_back(document["results"][0]["rx"]);  // the server's 1 s
    for (const std::string& line : lines_of(served.out)) {
        phases.push_back(json::parse(line));  // 3 s received, 1 s sent
    }
    ASSERT_EQ(phases.size(), 4U) << served.out;
    for (const json& phase : phases) {
        for (const json& interval : phase["intervals"]) {
            const double length = interval["end"].get<double>() - interval["start"].get<double>();
            // Half an interval at the least; at the most one and a half, and the lateness of
            // a thread on a slow machine.
            EXPECT_GE(length, 0.15) << phase["intervals"];
            EXPECT_LE(length, 0.45 + 0.2) << phase["intervals"];
        }
        EXPECT_GE(phase["intervals"].size(), 2U);
        expect_intervals_cover(phase, phase["intervals"].size(), "");
    }
}

// A server's standard output holds one JSON object per line for each phase it served and
// nothing else; its text goes to standard error.
TEST(PhaseFigures, ServerWritesJsonLinesOnly) {
    const int port = fresh_port();
    const auto server = spawn(server_command(port, {"--json", "--interval=0.5"}));
    ASSERT_TRUE(server->wait_for_error("TCP server listening.\n", seconds(5))) << server->err();
    const ProcessResult first = run_process(client_command(port, {"-b", "2k"}), seconds(20));
    const ProcessResult second = run_process(client_command(port, {"-b", "1k"}), seconds(20));
    ASSERT_EQ(first.exit_status, 0) << first.err;
    ASSERT_EQ(second.exit_status, 0) << second.err;
    // Each line comes once the phase's bytes are acknowledged, after the client has gone.
    EXPECT_TRUE(wait_for_count(*server, "\n", 4, seconds(10))) << server->out();
    const ProcessResult ended = [&] {
        server->send_signal(SIGINT);
        return server->finish(seconds(5));
    }();
    EXPECT_NE(ended.err.find("Sending to client, packet size  1k ... "), std::string::npos)
        << ended.err;

    const std::vector<std::string> lines = lines_of(ended.out);
    ASSERT_EQ(lines.size(), 4U) << ended.out;
    const char* directions[] = {"rx", "tx", "rx", "tx"};
    const int sizes[] = {2048, 2048, 1024, 1024};
    for (size_t i = 0; i < lines.size(); ++i) {
        const json line = json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(line.is_object()) << lines[i];
        EXPECT_EQ(line["peer"], "::1");
        EXPECT_EQ(line["protocol"], "tcp");
        EXPECT_EQ(line["direction"], directions[i]);
        EXPECT_EQ(line["block_size"], sizes[i]);
        EXPECT_GT(line["bytes"].get<int64_t>(), 0);
        EXPECT_GT(line["seconds"].get<double>(), 0.5);
        EXPECT_TRUE(
            std::regex_match(line["time"].get<std::string>(),
                             std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\\.[0-9]{3}Z")))
            << line["time"];
        expect_intervals_cover(line, 2, directions[i]);
        expect_tcp_and_cpu_figures(line, i % 2 == 1);
    }
}

}  // namespace
