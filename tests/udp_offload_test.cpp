// Many datagrams per system call (--offload) between two hosts: the counts stay exact
// whichever side batches, a kernel that stops segmenting mid-phase costs no datagram, and a
// batch that fails counts all of its datagrams.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/netns.h"
#include "support/process.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;

constexpr auto RUN_LIMIT = seconds(60);
constexpr int64_t DATAGRAM = 1024;
// A 1 KiB datagram with its headers fits an MTU of 1500 63 times in one call.
constexpr int64_t FULL_BATCH = 63;
constexpr const char* FALLBACK_TEXT = "the kernel does not segment these datagrams";

#define SKIP_WITHOUT_NAMESPACES(hosts)                          \
    if (!(hosts).failure().empty()) {                           \
        GTEST_SKIP() << "no namespaces: " << (hosts).failure(); \
    }

// Two hosts whose link carries 10 Mbit/s and queues what exceeds it, so that an unpaced
// sender waits for the queue instead of losing datagrams, and whose bursts let a batch of
// 63 KiB cross whole, as the kernel hands it over (a train for a receiver that takes them).
// Receive buffers of a second's data keep a receiving thread that the machine starves for a
// while from losing any; the queue holds more than a send buffer.
class OffloadHosts {
   public:
    OffloadHosts() {
        if (!hosts_.failure().empty()) {
            return;
        }
        const std::string tc = find_program("tc");
        for (const NetnsHost* host : {&hosts_.client(), &hosts_.server()}) {
            failure_ +=
                hosts_.run(*host, {tc, "qdisc", "replace", "dev", host->device, "root", "tbf",
                                   "rate", "10mbit", "burst", "128kb", "limit", "4mb"});
        }
    }

    // Why the hosts cannot be used; empty when they can.
    std::string failure() const { return hosts_.failure().empty() ? failure_ : hosts_.failure(); }

    const NetnsPair& pair() const { return hosts_; }

    // Runs a client against a server, both given options; the client's document, the
    // server's phase lines and what each wrote to standard error.
    struct Run {
        int exit_status = -1;
        std::string client_out;
        std::string client_err;
        std::string server_out;
        std::string server_err;

        json document() const { return json::parse(client_out, nullptr, false); }
        std::vector<json> lines() const {
            std::vector<json> parsed;
            for (const std::string& line : lines_of(server_out)) {
                parsed.push_back(json::parse(line, nullptr, false));
            }
            return parsed;
        }
    };

    Run run(const std::vector<std::string>& client_options,
            const std::vector<std::string>& server_options, const std::string& size = "1k",
            const std::function<void(ChildProcess&)>& during = nullptr) {
        Run outcome;
        const std::string port = std::to_string(fresh_port());
        std::vector<std::string> server_argv = {
            flenko_short_path(), "-s", "-u", "-p", port, "--json", "--window=512K"};
        server_argv.insert(server_argv.end(), server_options.begin(), server_options.end());
        ChildProcess server(hosts_.command(hosts_.server(), server_argv));
        if (!server.wait_for_error("UDP server listening.", seconds(5))) {
            ADD_FAILURE() << "no server: " << server.err();
            return outcome;
        }
        std::vector<std::string> client_argv = {
            flenko_short_path(), "-u", "-b", size, "-p", port, "--json", "--window=512K"};
        client_argv.insert(client_argv.end(), client_options.begin(), client_options.end());
        client_argv.push_back(hosts_.server().address);
        ChildProcess client(hosts_.command(hosts_.client(), client_argv));
        if (during) {
            during(client);
        }
        const ProcessResult ended = client.finish(RUN_LIMIT);
        outcome.exit_status = ended.exit_status;
        outcome.client_err = ended.err;
        outcome.client_out = ended.out;
        // The server logs its sending phase just after its answer to the client.
        server.wait_for_output("\"direction\":\"tx\"", seconds(10));
        server.send_signal(SIGINT);
        const ProcessResult served = server.finish(seconds(10));
        outcome.server_err = served.err;
        outcome.server_out = served.out;
        return outcome;
    }

   private:
    NetnsPair hosts_;
    std::string failure_;
};

// The server's line for one direction of its own view ("rx": it received).
const json* server_line(const std::vector<json>& lines, const char* direction) {
    for (const json& line : lines) {
        if (line.is_object() && line["direction"] == direction) {
            return &line;
        }
    }
    return nullptr;
}

// A received phase holds every datagram its peer sent, each of the block size and each
// numbered once.
void expect_all_arrived(const json& received, int64_t sent, const char* who) {
    SCOPED_TRACE(who);
    ASSERT_TRUE(received["datagrams"].is_number_integer()) << received.dump(1);
    EXPECT_GT(sent, 0);
    EXPECT_EQ(received["datagrams"].get<int64_t>(), sent) << received.dump(1);
    EXPECT_EQ(received["bytes"].get<int64_t>(), sent * DATAGRAM) << received.dump(1);
    EXPECT_EQ(received["lost_by_sequence"], 0) << received.dump(1);
    EXPECT_EQ(received["duplicates"], 0) << received.dump(1);
}

struct OffloadCase {
    const char* name;
    bool client;  // --offload=auto on the client
    bool server;
};

void PrintTo(const OffloadCase& offload, std::ostream* out) {
    *out << offload.name;
}

std::vector<std::string> offload_option(bool on) {
    return {on ? "--offload=auto" : "--offload=off"};
}

class OffloadCounts : public ::testing::TestWithParam<OffloadCase> {};

// Whichever side batches its datagrams and takes trains of them, each receiver counts exactly
// what its peer sent, and each sender says whether it batched.
TEST_P(OffloadCounts, EachReceiverCountsWhatItsPeerSent) {
    const OffloadCase& offload = GetParam();
    OffloadHosts hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    const OffloadHosts::Run run =
        hosts.run(offload_option(offload.client), offload_option(offload.server));
    const json document = run.document();
    const std::vector<json> lines = run.lines();
    ASSERT_EQ(run.exit_status, 0) << run.client_err;
    ASSERT_TRUE(document.is_object()) << run.client_err;
    EXPECT_EQ(document["offload"], offload.client ? "auto" : "off");
    ASSERT_EQ(document["results"].size(), 1U) << document.dump(1);
    const json& result = document["results"][0];
    const json* received = server_line(lines, "rx");
    const json* sent = server_line(lines, "tx");
    ASSERT_TRUE(received != nullptr && sent != nullptr) << run.server_err;

    expect_all_arrived(*received, result["tx"]["datagrams"].get<int64_t>(), "client to server");
    expect_all_arrived(result["rx"], (*sent)["datagrams"].get<int64_t>(), "server to client");
    EXPECT_EQ(result["tx"]["loss_percent"], 0);
    EXPECT_EQ(result["rx"]["loss_percent"], 0);
    // Unpaced, 1 KiB datagrams fit the path many to a call: batched wherever allowed.
    EXPECT_EQ(result["tx"]["segmentation"], offload.client);
    EXPECT_EQ((*sent)["segmentation"], offload.server);
    EXPECT_TRUE(result["rx"]["segmentation"].is_null());
    EXPECT_TRUE((*received)["segmentation"].is_null());
    EXPECT_EQ((*sent)["offload"], offload.server ? "auto" : "off");
    EXPECT_EQ(run.client_err.find(FALLBACK_TEXT), std::string::npos) << run.client_err;
    EXPECT_EQ(run.server_err.find(FALLBACK_TEXT), std::string::npos) << run.server_err;
}

INSTANTIATE_TEST_SUITE_P(
    Sides, OffloadCounts,
    ::testing::Values(OffloadCase{"Both", true, true}, OffloadCase{"ClientOnly", true, false},
                      OffloadCase{"ServerOnly", false, true}, OffloadCase{"Neither", false, false}),
    [](const ::testing::TestParamInfo<OffloadCase>& info) { return std::string(info.param.name); });

// The path's MTU drops under the client's sending phase, below its 8 KiB datagrams: the
// kernel stops segmenting them, and the client sends the rest one per call, fragmented,
// without losing one, and says so once.
TEST(OffloadFallback, AKernelThatStopsSegmentingCostsNoDatagram) {
    OffloadHosts hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    const NetnsPair& pair = hosts.pair();
    const std::string ip = find_program("ip");
    for (const NetnsHost* host : {&pair.client(), &pair.server()}) {
        ASSERT_EQ(pair.run(*host, {ip, "link", "set", "dev", host->device, "mtu", "9000"}), "");
    }
    std::string route_change;
    const auto shrink_path = [&](ChildProcess& client) {
        // A second into the client's three-second sending phase (with --json its text goes
        // to standard error).
        ASSERT_TRUE(client.wait_for_error("Packet size", seconds(20))) << client.err();
        std::this_thread::sleep_for(seconds(1));
        route_change =
            pair.run(pair.client(), {ip, "-6", "route", "replace", pair.server().address + "/128",
                                     "dev", pair.client().device, "mtu", "1500"});
    };
    const OffloadHosts::Run run = hosts.run({"--time=3"}, {}, "8k", shrink_path);
    const json document = run.document();
    const std::vector<json> lines = run.lines();
    ASSERT_EQ(route_change, "");
    ASSERT_EQ(run.exit_status, 0) << run.client_err;
    ASSERT_TRUE(document.is_object()) << run.client_err;
    EXPECT_EQ(document["completed"], true) << document.dump(1);
    const json& tx = document["results"][0]["tx"];
    EXPECT_EQ(tx["failed"], false);
    EXPECT_EQ(tx["segmentation"], true) << "batched until the MTU dropped";
    const json* received = server_line(lines, "rx");
    ASSERT_NE(received, nullptr) << run.server_err;
    EXPECT_EQ((*received)["datagrams"], tx["datagrams"]) << received->dump(1);
    EXPECT_EQ((*received)["lost_by_sequence"], 0) << received->dump(1);
    const size_t said = run.client_err.find(FALLBACK_TEXT);
    ASSERT_NE(said, std::string::npos) << run.client_err;
    EXPECT_EQ(run.client_err.find(FALLBACK_TEXT, said + 1), std::string::npos) << run.client_err;
    EXPECT_EQ(run.client_err.find("sendto()"), std::string::npos) << run.client_err;
}

// The server host drops a share of the server's outgoing UDP packets, each a whole batch: a
// failed call is reported once and counts all of its datagrams as given up, so what was sent
// is what arrived plus a full batch per report.
TEST(OffloadFailure, AFailedBatchCountsAllOfItsDatagrams) {
    OffloadHosts hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    const std::string nft = find_program("nft");
    if (nft.empty()) {
        GTEST_SKIP() << "nft (nftables) is not installed";
    }
    ASSERT_EQ(hosts.pair().run(hosts.pair().server(),
                               {nft,
                                "table inet flenko_batch { chain output { type filter hook "
                                "output priority 0; meta l4proto udp numgen random mod 100 "
                                "< 30 drop; }; }"}),
              "");
    const OffloadHosts::Run run = hosts.run({}, {});
    const json document = run.document();
    const std::vector<json> lines = run.lines();
    ASSERT_EQ(run.exit_status, 0) << run.client_err;
    ASSERT_TRUE(document.is_object()) << run.client_err;
    const json* sent = server_line(lines, "tx");
    ASSERT_NE(sent, nullptr) << run.server_err;
    EXPECT_EQ((*sent)["segmentation"], true);
    int64_t reports = 0;
    for (const std::string& line : lines_of(run.server_err)) {
        reports += line.rfind("sendmsg(): ", 0) == 0 ? 1 : 0;
    }
    EXPECT_GT(reports, 0);
    EXPECT_EQ(run.server_err.find("sendto()"), std::string::npos) << run.server_err;
    EXPECT_EQ(run.server_err.find(FALLBACK_TEXT), std::string::npos) << run.server_err;
    const json& arrived = document["results"][0]["rx"];
    EXPECT_EQ((*sent)["datagrams"].get<int64_t>(),
              arrived["datagrams"].get<int64_t>() + reports * FULL_BATCH)
        << run.server_err;
}

}  // namespace
