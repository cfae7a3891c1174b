#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/socket_setup.h"
#include "support/netns.h"
#include "support/process.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string BANNER =
    "\nFLENKO - Network Throughput Benchmark, Version [0-9.]+\n"
    "Written by the FLENKO developers\n";

// Whole bytes, KiB and MiB with two decimals, GiB with three.
const std::string RATE =
    " (?:[0-9]+ Byte/s|[0-9]+\\.[0-9]{2} [KM]Byte/s|[0-9]+\\.[0-9]{3} GByte/s)";

// A quiet link loses nothing; the truncated percentage is allowed one point for a receiving
// thread that another process starves long enough (~0.1 s at the tests' paced rate) for its
// receive buffer to overflow.
constexpr long QUIET_LOSS_TOLERANCE = 1;

struct Losses {
    long tx;
    long rx;
};

// The losses of a UDP client run that measured one size, when its whole output is right.
std::optional<Losses> udp_client_losses(const std::string& out, const std::string& label) {
    const std::regex pattern(BANNER + "\nUDP connection established\\.\nPacket size " + label +
                             " bytes: " + RATE + " \\((-?[0-9]+)%\\) Tx, " + RATE +
                             " \\((-?[0-9]+)%\\) Rx\\.\nDone\\.\n\n");
    std::smatch match;
    if (!std::regex_match(out, match, pattern)) {
        return std::nullopt;
    }
    return Losses{std::stol(match[1]), std::stol(match[2])};
}

std::vector<std::string> client_arguments(const char* protocol, int port, const char* size,
                                          const std::string& server) {
    return {flenko_short_path(), protocol, "-p", std::to_string(port), "-b", size, server};
}

// Waits until text has been printed count times.
bool wait_for_count(ChildProcess& process, const std::string& text, size_t count,
                    milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t seen = 0;
        for (size_t at = process.out().find(text); at != std::string::npos;
             at = process.out().find(text, at + text.size())) {
            ++seen;
        }
        if (seen >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Only to read on for a while: this text never comes.
        process.wait_for_output("\x01", milliseconds(50));
    }
}

// SIGINT ends a server with status 0; what it printed until then.
ProcessResult stop_server(ChildProcess& server) {
    server.send_signal(SIGINT);
    ProcessResult result = server.finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    return result;
}

#define SKIP_WITHOUT_NAMESPACES(hosts)                          \
    if (!(hosts).failure().empty()) {                           \
        GTEST_SKIP() << "no namespaces: " << (hosts).failure(); \
    }

TEST(UdpEndToEnd, QuietLinkPrintsOneResultLineWithoutLoss) {
    NetnsPair hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    const int port = fresh_port();
    ChildProcess server(hosts.command(
        hosts.server(), {flenko_short_path(), "-s", "-u", "-p", std::to_string(port)}));
    ASSERT_TRUE(server.wait_for_output("UDP server listening.", seconds(5))) << server.err();

    const ProcessResult client = run_process(
        hosts.command(hosts.client(), client_arguments("-u", port, "1k", hosts.server().address)));
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_EQ(client.err, "");
    const std::optional<Losses> losses = udp_client_losses(client.out, " 1k");
    ASSERT_TRUE(losses.has_value()) << client.out;
    EXPECT_GE(losses->tx, 0);
    EXPECT_LE(losses->tx, QUIET_LOSS_TOLERANCE);
    EXPECT_GE(losses->rx, 0);
    EXPECT_LE(losses->rx, QUIET_LOSS_TOLERANCE);

    EXPECT_TRUE(wait_for_count(server, "\nDone.\n", 1, seconds(5)));
    const ProcessResult served = stop_server(server);
    // The receive rate comes after the receiving label, once the count has been asked for.
    EXPECT_TRUE(std::regex_match(
        served.out, std::regex(BANNER +
                               "\nUDP server listening\\.\n"
                               "UDP connection established \\.\\.\\. \n"
                               "Receiving from client, packet size  1k \\.\\.\\. " +
                               RATE + "\nSending to client, packet size  1k \\.\\.\\. " + RATE +
                               "\nDone\\.\nUDP server listening\\.\n")))
        << served.out;
    EXPECT_EQ(served.err, "");
}

struct LossCase {
    const char* name;
    int drop_incoming;  // percent of datagrams the server host drops on arrival
    int drop_outgoing;  // percent of datagrams the server host drops as it sends them
};

// nftables on the sending host sees a batch of datagrams as one packet, before the kernel
// splits it, and drops it whole: a sender dropping a share of its own datagrams sends them
// one per call (udp_offload_test.cpp checks what a dropped batch counts).
std::vector<std::string> server_arguments(int port, const LossCase& loss) {
    std::vector<std::string> arguments = {flenko_short_path(), "-s", "-u", "-p",
                                          std::to_string(port)};
    if (loss.drop_outgoing > 0) {
        arguments.emplace_back("--offload=off");
    }
    return arguments;
}

void PrintTo(const LossCase& loss, std::ostream* out) {
    *out << loss.name;
}

class UdpKnownLoss : public ::testing::TestWithParam<LossCase> {};

// nftables on the server host drops a random share of the benchmark's datagrams, so each
// direction's printed loss must show that share and the other direction none.
TEST_P(UdpKnownLoss, ClientPrintsTheShareDroppedInEachDirection) {
    const LossCase& loss = GetParam();
    NetnsPair hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    const std::string nft = find_program("nft");
    if (nft.empty()) {
        GTEST_SKIP() << "nft (nftables) is not installed";
    }
    const int port = fresh_port();
    const std::string udp_port = std::to_string(port + 1);
    std::string rules = "table inet flenko_loss {";
    const std::pair<const char*, int> chains[] = {{"input", loss.drop_incoming},
                                                  {"output", loss.drop_outgoing}};
    for (const auto& [hook, share] : chains) {
        if (share > 0) {
            rules += std::string(" chain ") + hook + " { type filter hook " + hook +
                     " priority 0; udp dport " + udp_port + " numgen random mod 100 < " +
                     std::to_string(share) + " drop; };";
        }
    }
    rules += " }";
    ASSERT_EQ(hosts.run(hosts.server(), {nft, rules}), "");

    ChildProcess server(hosts.command(hosts.server(), server_arguments(port, loss)));
    ASSERT_TRUE(server.wait_for_output("UDP server listening.", seconds(5))) << server.err();
    const ProcessResult client = run_process(
        hosts.command(hosts.client(), client_arguments("-u", port, "1k", hosts.server().address)));
    EXPECT_EQ(client.exit_status, 0);
    const std::optional<Losses> losses = udp_client_losses(client.out, " 1k");
    ASSERT_TRUE(losses.has_value()) << client.out;
    // About a thousand datagrams a phase: the share drawn varies by a point or two.
    const std::pair<long, int> directions[] = {{losses->tx, loss.drop_incoming},
                                               {losses->rx, loss.drop_outgoing}};
    for (const auto& [printed, share] : directions) {
        if (share > 0) {
            EXPECT_NEAR(printed, share, 6) << client.out;
        } else {
            EXPECT_GE(printed, 0) << client.out;
            EXPECT_LE(printed, QUIET_LOSS_TOLERANCE) << client.out;
        }
    }

    EXPECT_TRUE(wait_for_count(server, "\nDone.\n", 1, seconds(5)));
    const ProcessResult served = stop_server(server);
    // A datagram dropped on its way out fails its sendto: reported, and still counted as
    // sent, which is what makes the loss visible to the client.
    if (loss.drop_outgoing > 0) {
        EXPECT_NE(served.err.find("sendto()"), std::string::npos) << served.err;
    } else {
        EXPECT_EQ(served.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Directions, UdpKnownLoss,
                         ::testing::Values(LossCase{"ClientToServer", 30, 0},
                                           LossCase{"ServerToClient", 0, 30}),
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                             return std::string(info.param.name);
                         });

// Both roles of one server at once: they share the process alarm and format size labels
// at the same time, so the clients use different sizes to show a label mixed up.
TEST(UdpEndToEnd, ServerRunsTcpAndUdpClientsAtOnce) {
    NetnsPair hosts;
    SKIP_WITHOUT_NAMESPACES(hosts);
    const int port = fresh_port();
    ChildProcess server(
        hosts.command(hosts.server(), {flenko_short_path(), "-s", "-p", std::to_string(port)}));
    ASSERT_TRUE(server.wait_for_output("UDP server listening.", seconds(5))) << server.err();
    ASSERT_TRUE(server.wait_for_output("TCP server listening.", seconds(5))) << server.err();

    const std::string& address = hosts.server().address;
    ChildProcess tcp_client(
        hosts.command(hosts.client(), client_arguments("-t", port, "2k", address)));
    ChildProcess udp_client(
        hosts.command(hosts.client(), client_arguments("-u", port, "1k", address)));
    const ProcessResult tcp_run = tcp_client.finish(seconds(20));
    const ProcessResult udp_run = udp_client.finish(seconds(20));

    EXPECT_EQ(tcp_run.exit_status, 0);
    EXPECT_EQ(tcp_run.err, "");
    EXPECT_TRUE(std::regex_match(
        tcp_run.out,
        std::regex(BANNER + "\nTCP connection established\\.\nPacket size  2k bytes: " + RATE +
                   " Tx, " + RATE + " Rx\\.\nDone\\.\n\n")))
        << tcp_run.out;
    EXPECT_EQ(udp_run.exit_status, 0);
    EXPECT_EQ(udp_run.err, "");
    // The two benchmarks share the link, so the UDP losses can be anything.
    EXPECT_TRUE(udp_client_losses(udp_run.out, " 1k").has_value()) << udp_run.out;

    EXPECT_TRUE(wait_for_count(server, "\nDone.\n", 2, seconds(5))) << server.out();
    EXPECT_TRUE(wait_for_count(server, "TCP server listening.\n", 2, seconds(5)));
    EXPECT_TRUE(wait_for_count(server, "UDP server listening.\n", 2, seconds(5)));
    const ProcessResult served = stop_server(server);
    EXPECT_EQ(served.err, "");
    std::vector<std::string> receiving;
    std::vector<std::string> sending;
    const std::regex label("\n(Receiving from|Sending to) client, packet size (.*?) \\.\\.\\. ");
    for (std::sregex_iterator it(served.out.begin(), served.out.end(), label), end; it != end;
         ++it) {
        ((*it)[1] == "Receiving from" ? receiving : sending).push_back((*it)[2]);
    }
    std::sort(receiving.begin(), receiving.end());
    std::sort(sending.begin(), sending.end());
    const std::vector<std::string> both = {" 1k", " 2k"};
    EXPECT_EQ(receiving, both) << served.out;
    EXPECT_EQ(sending, both) << served.out;
    EXPECT_NE(served.out.find("TCP connection established ... "), std::string::npos);
    EXPECT_NE(served.out.find("UDP connection established ... "), std::string::npos);
}

// Takes the UDP port of a benchmark on this host, as another program would.
Socket occupy_udp_port(int port) {
    Socket holder(socket(AF_INET6, SOCK_DGRAM, 0));
    const sockaddr_in6 address = make_socket_address(in6addr_any, port);
    if (bind(holder.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Socket();
    }
    return holder;
}

TEST(UdpReceiverFailure, ClientWhoseUdpPortIsTakenReportsItAndEnds) {
    const int port = fresh_port();
    const Socket holder = occupy_udp_port(port + 1);
    ASSERT_TRUE(holder.is_open());
    // No server is needed: the client must give up before it connects anywhere.
    const ProcessResult client = run_process(client_arguments("-u", port, "1k", "::1"), seconds(5));
    EXPECT_EQ(client.exit_status, 1);
    EXPECT_NE(client.err.find("bind(DGRAM)"), std::string::npos) << client.err;
    EXPECT_TRUE(std::regex_match(client.out, std::regex(BANNER))) << client.out;
}

TEST(UdpReceiverFailure, ServerWhoseUdpPortIsTakenStillServesTcp) {
    const int port = fresh_port();
    const Socket holder = occupy_udp_port(port + 1);
    ASSERT_TRUE(holder.is_open());
    ChildProcess server({flenko_short_path(), "-s", "-p", std::to_string(port)});
    ASSERT_TRUE(server.wait_for_output("TCP server listening.", seconds(5))) << server.err();

    const ProcessResult client = run_process(client_arguments("-t", port, "1k", "::1"));
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_TRUE(std::regex_match(
        client.out, std::regex(BANNER + "\nTCP connection established\\.\nPacket size  1k bytes: " +
                               RATE + " Tx, " + RATE + " Rx\\.\nDone\\.\n\n")))
        << client.out;

    EXPECT_TRUE(wait_for_count(server, "TCP server listening.\n", 2, seconds(5))) << server.out();
    // Without its datagram socket nothing may listen for UDP clients.
    Socket control(socket(AF_INET6, SOCK_STREAM, 0));
    const sockaddr_in6 udp_control = make_socket_address(in6addr_loopback, port + 1);
    EXPECT_NE(
        connect(control.fd(), reinterpret_cast<const sockaddr*>(&udp_control), sizeof udp_control),
        0);
    const ProcessResult served = stop_server(server);
    EXPECT_EQ(served.out.find("UDP server listening."), std::string::npos) << served.out;
    EXPECT_NE(served.err.find("bind(DGRAM)"), std::string::npos) << served.err;
}

}  // namespace
