#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "core/control_message.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/tcp_transcript.h"

namespace {

using std::chrono::seconds;

// Phases cut short by a vanished server may last under one tick.
const std::string CUT_SHORT_RATE(INSTANT_RATE_PATTERN);

// Stops a server that should still be alive and checks everything it printed.
void expect_server_transcript(ChildProcess& server, const std::vector<std::string>& sessions) {
    EXPECT_TRUE(
        wait_for_count(server, "TCP server listening.\n", sessions.size() + 1, seconds(10)));
    server.send_signal(SIGINT);
    const ProcessResult result = server.finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(FullyMatches(result.out, tcp_server_pattern(sessions)));
    EXPECT_EQ(result.err, "");
}

void expect_client_run(const ProcessResult& client, const std::vector<std::string>& labels) {
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_EQ(client.signal, 0);
    EXPECT_TRUE(FullyMatches(client.out, client_run_pattern(labels)));
    EXPECT_EQ(client.err, "");
}

struct ClientRunCase {
    const char* name;
    const char* host;
    const char* block;  // -b argument
    const char* label;
};

void PrintTo(const ClientRunCase& run, std::ostream* out) {
    *out << run.name;
}

class TcpEndToEnd : public testing::TestWithParam<ClientRunCase> {};

// Both address families reach the one IPv6 server, and the smallest and largest blocks a
// client can ask for run whole phases with their own labels.
TEST_P(TcpEndToEnd, OneSizeRunMatchesOnBothSides) {
    const ClientRunCase& run = GetParam();
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);

    expect_client_run(run_tcp_client(run.host, port, {"-b", run.block}), {run.label});
    expect_server_transcript(*server, {served_session_pattern({run.label})});
}

INSTANTIATE_TEST_SUITE_P(Runs, TcpEndToEnd,
                         testing::Values(ClientRunCase{"Ipv6Loopback", "::1", "1k", " 1k"},
                                         ClientRunCase{"Ipv4Loopback", "127.0.0.1", "1k", " 1k"},
                                         ClientRunCase{"LocalhostName", "localhost", "1k", " 1k"},
                                         ClientRunCase{"OneByteBlocks", "::1", "1", "1"},
                                         ClientRunCase{"WholeBufferBlocks", "::1", "64k", "64k"}),
                         [](const testing::TestParamInfo<ClientRunCase>& info) {
                             return info.param.name;
                         });

TEST(TcpEndToEndWalk, DefaultWalkMeasuresSixSizes) {
    const std::vector<std::string> labels = {" 1k", " 2k", " 4k", " 8k", "16k", "32k"};
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);

    expect_client_run(run_tcp_client("::1", port, {}, seconds(40)), labels);
    expect_server_transcript(*server, {served_session_pattern(labels)});
}

// A second client that connects while the first is measured waits in the backlog and is
// then served whole; the server's sessions never interleave. The second client's data
// already sits in the socket buffers when it is accepted, so that receive phase may take
// under one tick.
TEST(TcpEndToEndWalk, SecondClientIsServedAfterTheFirst) {
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);
    const std::vector<std::string> client_arguments = {
        flenko_short_path(), "-t", "-p", std::to_string(port), "-b", "1k", "::1"};

    const auto first = spawn(client_arguments);
    ASSERT_TRUE(server->wait_for_output("TCP connection established ... ", seconds(10)));
    const auto second = spawn(client_arguments);

    expect_client_run(first->finish(seconds(15)), {" 1k"});
    expect_client_run(second->finish(seconds(15)), {" 1k"});
    expect_server_transcript(*server, {served_session_pattern({" 1k"}),
                                       served_session_pattern({" 1k"}, INSTANT_RATE_PATTERN)});
}

// A client that cannot connect reports it and still exits with status 0, without the
// connection line or a closing line.
TEST(TcpSetUpFailure, ClientWithoutServerReportsConnect) {
    const ProcessResult client = run_tcp_client("::1", fresh_port(), {"-b", "1k"});
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_TRUE(FullyMatches(client.out, banner_pattern() + "\n"));
    EXPECT_TRUE(client.err.starts_with("connect(): ")) << client.err;
}

// A second server on a taken port reports the bind and never listens; the process lives on
// (its role ended, not the process) until it is interrupted.
TEST(TcpSetUpFailure, ServerOnTakenPortReportsBind) {
    const int port = fresh_port();
    const auto first = start_tcp_server(port);
    ASSERT_NE(first, nullptr);

    const auto second = spawn({flenko_short_path(), "-s", "-t", "-p", std::to_string(port)});
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (second->err().find("bind(): ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        // Text that never comes: this only reads both pipes for a short while.
        second->wait_for_output("\x01", std::chrono::milliseconds(50));
    }
    second->send_signal(SIGINT);
    const ProcessResult result = second->finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(FullyMatches(result.out, banner_pattern() + "\n"));
    EXPECT_TRUE(result.err.starts_with("bind(): ")) << result.err;
}

// A server on ::1 that reads the first `records` control records, draining each receive
// phase but the last record's, then closes: it vanishes at a chosen point of the dialogue.
// When the last record asks it to send, it first sends two and a half unmarked blocks, so
// the client cannot take a stale marker in its buffer for the end of the phase.
class VanishingServer {
   public:
    VanishingServer(int port, int records) : listener_(socket(AF_INET6, SOCK_STREAM, 0)) {
        const int on = 1;
        setsockopt(listener_.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in6 local = make_socket_address(in6addr_loopback, port);
        listening_ =
            bind(listener_.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
            listen(listener_.fd(), 1) == 0;
        if (listening_) {
            thread_ = std::thread([this, records] { serve(records); });
        }
    }
    VanishingServer(const VanishingServer&) = delete;
    VanishingServer& operator=(const VanishingServer&) = delete;
    ~VanishingServer() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    bool listening() const { return listening_; }

   private:
    void serve(int records) {
        pollfd waiting{listener_.fd(), POLLIN, 0};
        if (poll(&waiting, 1, 10000) != 1) {
            return;
        }
        const Socket client(accept(listener_.fd(), nullptr, nullptr));
        // Bounded reads: a client that stalls must not hang the test.
        const timeval limit{10, 0};
        setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        for (int i = 1; i <= records; ++i) {
            uint32_t command = 0;
            uint32_t size = 0;
            if (!read_record(client.fd(), command, size)) {
                return;
            }
            if (i == records) {
                if (command == CMD_TO_CLIENT) {
                    const std::vector<unsigned char> unmarked(size * 5 / 2, 0);
                    send_bytes(client.fd(), unmarked);
                }
                return;
            }
            if (command == CMD_TO_SERVER && !drain_phase(client.fd(), size)) {
                return;
            }
        }
    }

    static bool drain_phase(int socket, uint32_t size) {
        std::vector<unsigned char> block(size);
        do {
            if (recv(socket, block.data(), size, MSG_WAITALL) != static_cast<ssize_t>(size)) {
                return false;
            }
        } while (block[0] == 0);
        return true;
    }

    Socket listener_;
    bool listening_ = false;
    std::thread thread_;
};

enum class Vanish { KILLED_IN_SEND_PHASE, CLOSED_AFTER_FIRST_RECORD, CLOSED_IN_RECEIVE_PHASE };

struct VanishCase {
    const char* name;
    Vanish how;
    std::string line;  // the result line's pattern after the packet-size text, to the end
};

void PrintTo(const VanishCase& scenario, std::ostream* out) {
    *out << scenario.name;
}

class TcpServerVanishes : public testing::TestWithParam<VanishCase> {};

// However the server goes, the client finishes its run in bounded time with status 0:
// failed sends neither kill it with SIGPIPE nor keep it streaming into a dead connection.
TEST_P(TcpServerVanishes, ClientEndsItsRun) {
    const VanishCase& scenario = GetParam();
    const int port = fresh_port();
    const std::vector<std::string> client_arguments = {
        flenko_short_path(), "-t", "-p", std::to_string(port), "-b", "1k", "::1"};
    ProcessResult client;
    if (scenario.how == Vanish::KILLED_IN_SEND_PHASE) {
        const auto server = start_tcp_server(port);
        ASSERT_NE(server, nullptr);
        const auto running = spawn(client_arguments);
        ASSERT_TRUE(server->wait_for_output("TCP connection established ... ", seconds(10)));
        ASSERT_TRUE(running->wait_for_output("Packet size  1k bytes: ", seconds(10)));
        server->send_signal(SIGKILL);
        client = running->finish(seconds(10));
    } else {
        const VanishingServer server(port,
                                     scenario.how == Vanish::CLOSED_AFTER_FIRST_RECORD ? 1 : 2);
        ASSERT_TRUE(server.listening());
        client = spawn(client_arguments)->finish(seconds(10));
    }

    EXPECT_EQ(client.signal, 0);
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_TRUE(FullyMatches(client.out, banner_pattern() +
                                             literal("\nTCP connection established.\n"
                                                     "Packet size  1k bytes: ") +
                                             scenario.line));
    EXPECT_TRUE(OnlyReports(client.err, {"send(): ", "recv(): "}));
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, TcpServerVanishes,
    testing::Values(VanishCase{"KilledInSendPhase", Vanish::KILLED_IN_SEND_PHASE,
                               CUT_SHORT_RATE + literal(" Tx, Done.\n\n")},
                    VanishCase{"ClosedAfterFirstRecord", Vanish::CLOSED_AFTER_FIRST_RECORD,
                               CUT_SHORT_RATE + literal(" Tx, Done.\n\n")},
                    VanishCase{"ClosedInReceivePhase", Vanish::CLOSED_IN_RECEIVE_PHASE,
                               CUT_SHORT_RATE + literal(" Tx, ") + CUT_SHORT_RATE +
                                   literal(" Rx.\nDone.\n\n")}),
    [](const testing::TestParamInfo<VanishCase>& info) { return info.param.name; });

}  // namespace
