#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "core/control_message.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/tcp_transcript.h"

namespace {

using std::chrono::seconds;

// True when the server closes the connection within the time without sending a byte.
bool closes_without_data(int socket, int timeout_ms) {
    pollfd readable{socket, POLLIN, 0};
    if (poll(&readable, 1, timeout_ms) != 1) {
        return false;
    }
    char byte = 0;
    const ssize_t received = recv(socket, &byte, 1, 0);
    return received == 0 || (received < 0 && errno == ECONNRESET);
}

// After a bad peer, a real client must still be served whole; then the server stops with
// status 0 and its output holds the bad connection's part followed by a full session.
void expect_serves_real_client(ChildProcess& server, int port, const std::string& bad_session,
                               const std::vector<std::string>& reports) {
    const ProcessResult client = run_tcp_client("::1", port, {"-b", "1k"});
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_TRUE(FullyMatches(client.out, client_run_pattern({" 1k"})));
    EXPECT_EQ(client.err, "");

    EXPECT_TRUE(wait_for_count(server, "TCP server listening.\n", 3, seconds(10)));
    server.send_signal(SIGINT);
    const ProcessResult result = server.finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(FullyMatches(result.out,
                             tcp_server_pattern({bad_session, served_session_pattern({" 1k"})})));
    EXPECT_TRUE(OnlyReports(result.err, reports));
}

struct BadPeerCase {
    const char* name;
    std::vector<unsigned char> bytes;  // all the peer sends
    bool peer_closes;                  // then shuts its side, else waits for the server
};

void PrintTo(const BadPeerCase& peer_case, std::ostream* out) {
    *out << peer_case.name;
}

class TcpServerBadPeer : public testing::TestWithParam<BadPeerCase> {};

// Every record the server does not serve, and every short one, ends that connection at
// once and silently, without a phase or a byte of data; the server goes on listening.
TEST_P(TcpServerBadPeer, EndsConnectionAndKeepsServing) {
    const BadPeerCase& peer_case = GetParam();
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);

    Socket peer = connect_to("::1", port);
    ASSERT_TRUE(peer.is_open());
    if (!peer_case.bytes.empty()) {
        ASSERT_TRUE(send_bytes(peer.fd(), peer_case.bytes));
    }
    if (peer_case.peer_closes) {
        shutdown(peer.fd(), SHUT_WR);
    }
    EXPECT_TRUE(closes_without_data(peer.fd(), 5000));
    EXPECT_TRUE(server->wait_for_output("\nDone.\nTCP server listening.\n", seconds(5)));
    peer = Socket();

    expect_serves_real_client(*server, port, ended_session_pattern(), {});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpServerBadPeer,
    testing::Values(
        BadPeerCase{"EndAtOnce", record_bytes(CMD_END, 0), false},
        BadPeerCase{"ConnectAndClose", {}, true},
        BadPeerCase{"CountCommand", record_bytes(CMD_COUNT, 1024), false},
        BadPeerCase{"UnknownCommand", record_bytes(7, 1024), false},
        BadPeerCase{"ToServerSizeZero", record_bytes(CMD_TO_SERVER, 0), false},
        BadPeerCase{"ToServerSizeAboveBuffer", record_bytes(CMD_TO_SERVER, 70000), false},
        BadPeerCase{"ToClientSizeZero", record_bytes(CMD_TO_CLIENT, 0), false},
        BadPeerCase{"ToClientSizeAboveBuffer", record_bytes(CMD_TO_CLIENT, 70000), false},
        // The command half of {CMD_TO_SERVER, 1024}.
        BadPeerCase{"HalfRecordThenClose", {0, 0, 0, 1}, true}),
    [](const testing::TestParamInfo<BadPeerCase>& info) { return info.param.name; });

// A client that resets the connection while the server streams to it costs only that
// connection: the server neither dies of SIGPIPE nor stops serving.
TEST(TcpServerPeer, ResetDuringSendPhaseEndsOnlyThatConnection) {
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);

    Socket peer = connect_to("::1", port);
    ASSERT_TRUE(peer.is_open());
    ASSERT_TRUE(send_record(peer.fd(), CMD_TO_CLIENT, 1024));
    const timeval limit{5, 0};
    setsockopt(peer.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char block[1024];
    ASSERT_EQ(recv(peer.fd(), block, sizeof block, MSG_WAITALL), 1024);
    reset_connection(peer);
    ASSERT_TRUE(server->wait_for_output("\nDone.\nTCP server listening.\n", seconds(5)))
        << server->out();

    std::string bad_session =
        literal("TCP connection established ... \nSending to client, packet size  1k ... ");
    bad_session += "(";
    bad_session += INSTANT_RATE_PATTERN;
    bad_session += ")?" + literal("\nDone.\nTCP server listening.\n");
    expect_serves_real_client(*server, port, bad_session, {"send(): "});
}

}  // namespace

// Drives both phases by hand with a block size that is not a multiple of 1024: the server
// must read exactly one block at a time (the next record follows the marker block in the
// same segment) and send whole blocks, the marker block last, nothing after it.
TEST(TcpServerPeer, PeerDrivenPhasesKeepTheFraming) {
    constexpr uint32_t SIZE = 1000;
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);
    Socket peer = connect_to("::1", port);
    ASSERT_TRUE(peer.is_open());
    const timeval limit{5, 0};
    setsockopt(peer.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    // The record, 20 blocks whose byte 0 is the marker (set in the last), the next record.
    constexpr size_t BLOCKS = 20;
    std::vector<unsigned char> upload = record_bytes(CMD_TO_SERVER, SIZE);
    upload.resize(upload.size() + BLOCKS * SIZE, 0x5a);
    for (size_t block = 0; block < BLOCKS; ++block) {
        upload[8 + block * SIZE] = block == BLOCKS - 1 ? 1 : 0;
    }
    const std::vector<unsigned char> next = record_bytes(CMD_TO_CLIENT, SIZE);
    upload.insert(upload.end(), next.begin(), next.end());
    ASSERT_TRUE(send_bytes(peer.fd(), upload));

    std::vector<unsigned char> block(SIZE);
    int blocks = 0;
    do {
        ASSERT_EQ(recv(peer.fd(), block.data(), SIZE, MSG_WAITALL), static_cast<ssize_t>(SIZE))
            << "after " << blocks << " blocks";
        ++blocks;
    } while (block[0] == 0);
    EXPECT_EQ(block[0], 1);
    EXPECT_GT(blocks, 1);
    ASSERT_TRUE(send_record(peer.fd(), CMD_END, 0));
    EXPECT_TRUE(closes_without_data(peer.fd(), 5000));

    EXPECT_TRUE(wait_for_count(*server, "TCP server listening.\n", 2, seconds(5)));
    server->send_signal(SIGINT);
    const ProcessResult result = server->finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(FullyMatches(
        result.out, tcp_server_pattern({served_session_pattern({"1000"}, INSTANT_RATE_PATTERN)})));
    EXPECT_EQ(result.err, "");
}
