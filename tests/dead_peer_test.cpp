// Peers that stop moving: the test build gives up on a control connection after five idle
// seconds (the product after sixty), and the other side goes on as after any failure.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "core/control_message.h"
#include "core/socket_setup.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/tcp_transcript.h"

namespace {

using std::chrono::seconds;

struct ServerKind {
    const char* name;
    const char* protocol;  // -t or -u
    int control_offset;    // the UDP benchmark's control port is the one after the TCP port
    const char* listening;
    const char* established;
};

void PrintTo(const ServerKind& kind, std::ostream* out) {
    *out << kind.name;
}

const ServerKind SERVER_KINDS[] = {
    {"Tcp", "-t", 0, "TCP server listening.\n", "TCP connection established ... "},
    {"Udp", "-u", 1, "UDP server listening.\n", "UDP connection established ... "},
};

class DeadPeerServer : public testing::TestWithParam<ServerKind> {};

// A peer that connects and never says a word must not hold the one-client server for ever.
TEST_P(DeadPeerServer, SilentPeerIsDroppedAndTheNextServed) {
    const ServerKind& kind = GetParam();
    const int port = fresh_port();
    const auto server =
        spawn({flenko_short_path(), "-s", kind.protocol, "-p", std::to_string(port)});
    ASSERT_TRUE(server->wait_for_output(kind.listening, seconds(5)));

    Socket silent = connect_to("::1", port + kind.control_offset);
    ASSERT_TRUE(silent.is_open());
    const std::string dropped = std::string("\nDone.\n") + kind.listening;
    EXPECT_TRUE(server->wait_for_output(dropped, seconds(15))) << server->out();

    Socket next = connect_to("::1", port + kind.control_offset);
    ASSERT_TRUE(next.is_open());
    ASSERT_TRUE(send_record(next.fd(), CMD_END, 0));
    EXPECT_TRUE(wait_for_count(*server, dropped, 2, seconds(5))) << server->out();

    server->send_signal(SIGINT);
    const ProcessResult result = server->finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "recv(): Resource temporarily unavailable\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, DeadPeerServer, testing::ValuesIn(SERVER_KINDS),
                         [](const testing::TestParamInfo<ServerKind>& info) {
                             return info.param.name;
                         });

// A client that asks for data and then stops reading: the server's blocked send gives up,
// the connection ends without its final block, and the next client is served in full.
TEST(DeadPeer, TcpServerStopsSendingToAPeerThatStopsReading) {
    const int port = fresh_port();
    const auto server = start_tcp_server(port);
    ASSERT_NE(server, nullptr);

    Socket stuck = connect_to("::1", port);
    ASSERT_TRUE(stuck.is_open());
    const int small = 4096;
    setsockopt(stuck.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(send_record(stuck.fd(), CMD_TO_CLIENT, 65536));
    EXPECT_TRUE(server->wait_for_output("\nDone.\nTCP server listening.\n", seconds(15)))
        << server->out();

    const ProcessResult client = run_tcp_client("::1", port, {"-b", "1k"});
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_TRUE(FullyMatches(client.out, client_run_pattern({" 1k"})));

    server->send_signal(SIGINT);
    const ProcessResult result = server->finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "send(): Resource temporarily unavailable\n");
}

// Between the echo and the count request a UDP client's control connection is quiet for
// the client's whole datagram phase, so the server waits on while datagrams arrive, and
// gives up once they stop too.
TEST(DeadPeer, UdpServerWaitsWhileDatagramsFlowThenDrops) {
    const int port = fresh_port();
    const auto server = spawn({flenko_short_path(), "-s", "-u", "-p", std::to_string(port)});
    ASSERT_TRUE(server->wait_for_output("UDP server listening.\n", seconds(5)));

    Socket control = connect_to("::1", port + 1);
    ASSERT_TRUE(control.is_open());
    ASSERT_TRUE(send_record(control.fd(), CMD_TO_SERVER, 1024));
    uint32_t command = 0;
    uint32_t value = 0;
    ASSERT_TRUE(read_record(control.fd(), command, value));

    // Eight seconds of datagrams, longer than the idle limit.
    Socket datagrams(socket(AF_INET6, SOCK_DGRAM, 0));
    const sockaddr_in6 target = make_socket_address(in6addr_loopback, port + 1);
    const char block[1024] = {};
    for (int i = 0; i < 80; ++i) {
        sendto(datagrams.fd(), block, sizeof block, 0, reinterpret_cast<const sockaddr*>(&target),
               sizeof target);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(send_record(control.fd(), CMD_COUNT, 1024));
    ASSERT_TRUE(read_record(control.fd(), command, value));
    EXPECT_EQ(value, 80U);

    // A second phase whose datagrams never come: dropped after the idle limit.
    ASSERT_TRUE(send_record(control.fd(), CMD_TO_SERVER, 1024));
    ASSERT_TRUE(read_record(control.fd(), command, value));
    EXPECT_TRUE(server->wait_for_output("\nDone.\nUDP server listening.\n", seconds(15)))
        << server->out();

    server->send_signal(SIGINT);
    const ProcessResult result = server->finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "recv(): Resource temporarily unavailable\n");
}

struct ClientCase {
    const char* name;
    std::vector<std::string> options;
    std::string output_end;  // what the client prints last, before main's newline
    std::string report;
};

void PrintTo(const ClientCase& client_case, std::ostream* out) {
    *out << client_case.name;
}

class DeadPeerClient : public testing::TestWithParam<ClientCase> {};

// A server that accepts (in its backlog) and then never reads or answers: the client gives
// up, prints its closing line and exits 0.
TEST_P(DeadPeerClient, SilentServerEndsTheRun) {
    const ClientCase& client_case = GetParam();
    const int port = fresh_port();
    Socket listener(socket(AF_INET6, SOCK_STREAM, 0));
    const bool udp = client_case.options[0] == "-u";
    const sockaddr_in6 address = make_socket_address(in6addr_loopback, udp ? port + 1 : port);
    ASSERT_EQ(bind(listener.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.fd(), 1), 0);

    std::vector<std::string> arguments{flenko_short_path()};
    arguments.insert(arguments.end(), client_case.options.begin(), client_case.options.end());
    arguments.insert(arguments.end(), {"-p", std::to_string(port), "::1"});
    const ProcessResult result = spawn(arguments)->finish(seconds(30));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.signal, 0);
    ASSERT_GE(result.out.size(), client_case.output_end.size() + 1);
    EXPECT_EQ(result.out.substr(result.out.size() - client_case.output_end.size() - 1),
              client_case.output_end + "\n")
        << result.out;
    EXPECT_EQ(result.err, client_case.report);
}

// The end record is still tried, without waiting, and fails like the transfer before it.
INSTANTIATE_TEST_SUITE_P(Cases, DeadPeerClient,
                         testing::Values(ClientCase{"Tcp",
                                                    {"-t", "-b", "64k"},
                                                    " Tx, Done.\n",
                                                    "send(): Resource temporarily unavailable\n"
                                                    "send(): Resource temporarily unavailable\n"},
                                         ClientCase{"Udp",
                                                    {"-u", "-b", "1k"},
                                                    "Packet size  1k bytes: Done.\n",
                                                    "recv(): Resource temporarily unavailable\n"}),
                         [](const testing::TestParamInfo<ClientCase>& info) {
                             return info.param.name;
                         });

}  // namespace
