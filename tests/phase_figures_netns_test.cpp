// Phase figures between two hosts of their own: TCP's retransmits against the kernel's
// count, and UDP's intervals on both sides.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/netns.h"
#include "support/process.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;

// Phases run at the link's pace whatever the machine, but a sanitized build starts slowly.
constexpr auto RUN_LIMIT = seconds(60);

const std::string RATE =
    " (?:[0-9]+ Byte/s|[0-9]+\\.[0-9]{2} [KM]Byte/s|[0-9]+\\.[0-9]{3} GByte/s)";

#define SKIP_WITHOUT_NAMESPACES(hosts)                          \
    if (!(hosts).failure().empty()) {                           \
        GTEST_SKIP() << "no namespaces: " << (hosts).failure(); \
    }

// TCP segments the host's stack has retransmitted, over all its sockets, from the "Tcp:"
// names and values lines of /proc/net/snmp; empty when they cannot be read.
std::optional<int64_t> retransmitted_segments(const NetnsPair& hosts, const NetnsHost& host) {
    const ProcessResult snmp = run_process(hosts.command(host, {"cat", "/proc/net/snmp"}));
    std::vector<std::vector<std::string>> tcp;
    for (const std::string& line : lines_of(snmp.out)) {
        if (line.rfind("Tcp: ", 0) == 0) {
            std::istringstream fields(line.substr(5));
            tcp.emplace_back();
            for (std::string field; fields >> field;) {
                tcp.back().push_back(field);
            }
        }
    }
    if (tcp.size() != 2 || tcp[0].size() != tcp[1].size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < tcp[0].size(); ++i) {
        if (tcp[0][i] == "RetransSegs") {
            return std::stoll(tcp[1][i]);
        }
    }
    return std::nullopt;
}

json parse_document(const std::string& text) {
    json document = json::parse(text, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << "not one JSON document:\n" << text;
    return document;
}

// The same IPv6 address, however each text abbreviates it.
testing::AssertionResult SameAddress(const std::string& a, const std::string& b) {
    in6_addr first{};
    in6_addr second{};
    if (inet_pton(AF_INET6, a.c_str(), &first) == 1 &&
        inet_pton(AF_INET6, b.c_str(), &second) == 1 &&
        memcmp(&first, &second, sizeof first) == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << a << " is not " << b;
}

struct DropCase {
    const char* name;
    int drop_percent;  // of the TCP data packets each host receives
};

void PrintTo(const DropCase& drop, std::ostream* out) {
    *out << drop.name;
}

class TcpRetransmits : public ::testing::TestWithParam<DropCase> {};

// Each side's sending phase must report what the kernel counted for its host. Only
// packets longer than any control record or pure ACK are dropped, so every retransmission
// belongs to a sending phase; the figures are read only once both phases are acknowledged.
TEST_P(TcpRetransmits, SendingPhasesReportTheKernelsCount) {
    const DropCase& drop = GetParam();
    NetnsPair hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    if (drop.drop_percent > 0) {
        const std::string nft = find_program("nft");
        if (nft.empty()) {
            GTEST_SKIP() << "nft (nftables) is not installed";
        }
        const std::string rules =
            "table inet flenko_drop { chain prerouting { type filter hook prerouting priority "
            "0; meta l4proto tcp meta length > 200 numgen random mod 100 < " +
            std::to_string(drop.drop_percent) + " drop; }; }";
        for (const NetnsHost* host : {&hosts.client(), &hosts.server()}) {
            ASSERT_EQ(hosts.run(*host, {nft, rules}), "");
        }
    }
    const int port = fresh_port();
    ChildProcess server(hosts.command(
        hosts.server(),
        {flenko_short_path(), "-s", "-t", "-p", std::to_string(port), "--json", "--time=2"}));
    ASSERT_TRUE(server.wait_for_error("TCP server listening.", seconds(5))) << server.err();

    const std::optional<int64_t> client_before = retransmitted_segments(hosts, hosts.client());
    const std::optional<int64_t> server_before = retransmitted_segments(hosts, hosts.server());
    ASSERT_TRUE(client_before && server_before) << "no RetransSegs in /proc/net/snmp";
    const ProcessResult client = run_process(
        hosts.command(hosts.client(), {flenko_short_path(), "-t", "-p", std::to_string(port), "-b",
                                       "8k", "--time=2", "--json", hosts.server().address}),
        RUN_LIMIT);
    ASSERT_EQ(client.exit_status, 0) << client.err;
    // The server writes its sending phase's line once the client has acknowledged it all.
    ASSERT_TRUE(server.wait_for_output("\"direction\":\"tx\"", seconds(20))) << server.out();
    const int64_t client_delta = *retransmitted_segments(hosts, hosts.client()) - *client_before;
    const int64_t server_delta = *retransmitted_segments(hosts, hosts.server()) - *server_before;

    const json document = parse_document(client.out);
    ASSERT_EQ(document["results"].size(), 1U) << client.out;
    const json& client_tcp = document["results"][0]["tx"]["tcp_info"];
    ASSERT_TRUE(client_tcp["retransmits"].is_number_integer()) << client_tcp;
    EXPECT_EQ(client_tcp["retransmits"].get<int64_t>(), client_delta) << client_tcp;

    std::optional<json> served;
    for (const std::string& line : lines_of(server.out())) {
        const json phase = json::parse(line, nullptr, false);
        if (phase.is_object() && phase["direction"] == "tx") {
            served = phase;
        }
    }
    ASSERT_TRUE(served.has_value()) << server.out();
    const json& server_tcp = (*served)["tcp_info"];
    ASSERT_TRUE(server_tcp["retransmits"].is_number_integer()) << server_tcp;
    EXPECT_EQ(server_tcp["retransmits"].get<int64_t>(), server_delta) << server_tcp;

    if (drop.drop_percent > 0) {
        // About 1700 data packets a direction: dozens are dropped, and at this share
        // nearly every run also loses some of the last blocks sent before the next step.
        EXPECT_GT(client_delta, 0) << "the drop rules never hit the client's data";
        EXPECT_GT(server_delta, 0) << "the drop rules never hit the server's data";
    } else {
        EXPECT_EQ(client_delta, 0);
        EXPECT_EQ(server_delta, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Links, TcpRetransmits,
                         ::testing::Values(DropCase{"Lossy", 5}, DropCase{"Quiet", 0}),
                         [](const ::testing::TestParamInfo<DropCase>& info) {
                             return std::string(info.param.name);
                         });

constexpr int64_t DATAGRAM = 1024;

// A phase's intervals follow each other from its start to about its end, and hold
// exactly its bytes and, when given, its datagrams.
void expect_intervals_hold(const json& phase, std::optional<int64_t> datagrams) {
    const json& intervals = phase["intervals"];
    ASSERT_TRUE(intervals.is_array()) << phase.dump(1);
    // Two-second phases in half seconds; the last one may stretch to the phase's end.
    EXPECT_GE(intervals.size(), 3U) << intervals.dump(1);
    EXPECT_LE(intervals.size(), 5U) << intervals.dump(1);
    int64_t bytes = 0;
    int64_t counted = 0;
    double end = 0.0;
    for (const json& interval : intervals) {
        EXPECT_EQ(interval["start"].get<double>(), end) << interval;
        end = interval["end"].get<double>();
        bytes += interval["bytes"].get<int64_t>();
        ASSERT_TRUE(interval["datagrams"].is_number_integer()) << interval;
        counted += interval["datagrams"].get<int64_t>();
    }
    EXPECT_EQ(bytes, phase["bytes"].get<int64_t>());
    if (datagrams) {
        EXPECT_EQ(counted, *datagrams);
    }
    EXPECT_NEAR(end, phase["seconds"].get<double>(), 0.5);
}

// Datagram phases cut in intervals on both hosts: the receiving side's intervals hold
// exactly what it counted, the server writes one JSON line per phase and nothing else, and
// the client's result line stays whole among its interval lines.
TEST(UdpIntervals, AddUpOnBothHosts) {
    NetnsPair hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    const int port = fresh_port();
    ChildProcess server(
        hosts.command(hosts.server(), {flenko_short_path(), "-s", "-u", "-p", std::to_string(port),
                                       "--time=2", "--interval=0.5", "--json"}));
    ASSERT_TRUE(server.wait_for_error("UDP server listening.", seconds(5))) << server.err();
    const ProcessResult client = run_process(
        hosts.command(hosts.client(),
                      {flenko_short_path(), "-u", "-p", std::to_string(port), "-b", "1k",
                       "--time=2", "--interval=0.5", "--json", hosts.server().address}),
        RUN_LIMIT);
    ASSERT_EQ(client.exit_status, 0) << client.err;

    const json document = parse_document(client.out);
    ASSERT_EQ(document["results"].size(), 1U) << client.out;
    const json& rx = document["results"][0]["rx"];
    const int64_t received = rx["bytes"].get<int64_t>();
    EXPECT_GT(received, 0);
    EXPECT_EQ(received % DATAGRAM, 0);
    {
        SCOPED_TRACE("client rx");
        expect_intervals_hold(rx, received / DATAGRAM);
    }

    const std::regex result_line("Packet size  1k bytes: " + RATE + " \\(-?[0-9]+%\\) Tx, " + RATE +
                                 " \\(-?[0-9]+%\\) Rx\\.");
    const std::regex interval_line("\\[ 1k (Tx|Rx)\\] +[0-9.]+- +[0-9.]+ s +[0-9]+ bytes " + RATE +
                                   ", datagrams [0-9]+");
    size_t result_lines = 0;
    size_t rx_lines = 0;
    for (const std::string& line : lines_of(client.err)) {
        if (line.find("Packet size") != std::string::npos) {
            ++result_lines;
            EXPECT_TRUE(std::regex_match(line, result_line)) << line;
        } else if (line.find("[ 1k") != std::string::npos) {
            EXPECT_TRUE(std::regex_match(line, interval_line)) << line;
            rx_lines += line.find("Rx]") != std::string::npos ? 1 : 0;
        }
    }
    EXPECT_EQ(result_lines, 1U) << client.err;
    EXPECT_EQ(rx_lines, rx["intervals"].size()) << client.err;

    // The second line comes after the server's datagram phase, which may outlast the client.
    ASSERT_TRUE(server.wait_for_output("\"direction\":\"tx\"", seconds(20))) << server.out();
    server.send_signal(SIGINT);
    const ProcessResult served = server.finish(seconds(10));
    EXPECT_EQ(served.exit_status, 0);
    const std::vector<std::string> lines = lines_of(served.out);
    ASSERT_EQ(lines.size(), 2U) << served.out;
    const char* directions[] = {"rx", "tx"};
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(directions[i]);
        const json line = json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(line.is_object()) << lines[i];
        EXPECT_EQ(line["direction"], directions[i]);
        EXPECT_EQ(line["protocol"], "udp");
        EXPECT_EQ(line["block_size"], DATAGRAM);
        EXPECT_TRUE(SameAddress(line["peer"].get<std::string>(), hosts.client().address));
        ASSERT_TRUE(line["datagrams"].is_number_integer()) << line;
        EXPECT_GT(line["datagrams"].get<int64_t>(), 0) << line;
    }
    const json rx_line = json::parse(lines[0]);
    EXPECT_EQ(rx_line["bytes"].get<int64_t>(), rx_line["datagrams"].get<int64_t>() * DATAGRAM);
    SCOPED_TRACE("server rx");
    expect_intervals_hold(rx_line, rx_line["datagrams"].get<int64_t>());
}

}  // namespace
