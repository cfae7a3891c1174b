#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/control_message.h"
#include "core/socket_setup.h"
#include "support/netns.h"
#include "support/peer.h"
#include "support/process.h"

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

const std::string AFTER_CONNECTION = "\nDone.\nUDP server listening.\n";

// A rate after a count request. One asked for at once may come within one tick, which
// prints an infinite rate, or not a number with nothing counted.
const std::string RATE = " (?:[0-9]+(?:\\.[0-9]+)?|inf|-?nan) [KMG]?Byte/s";

// A reply that never comes must fail the test, not hang it.
void limit_waits(int socket) {
    const timeval limit{5, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// What the server printed from offset on, once it holds text after that offset.
std::string output_from(ChildProcess& server, size_t offset, const std::string& text) {
    const auto deadline = steady_clock::now() + seconds(5);
    while (server.out().find(text, offset) == std::string::npos && steady_clock::now() < deadline) {
        // Only to read on for a while: this text never comes.
        server.wait_for_output("\x01", milliseconds(50));
    }
    return server.out().substr(offset);
}

// A UDP-only server on this host, driven by hand over its control port.
class UdpServerPeer : public ::testing::Test {
   protected:
    void SetUp() override { start_server({}); }

    // With --json the text goes to standard error.
    void start_server(const std::vector<std::string>& options) {
        port_ = fresh_port();
        std::vector<std::string> arguments{flenko_short_path(), "-s", "-u", "-p",
                                           std::to_string(port_)};
        arguments.insert(arguments.end(), options.begin(), options.end());
        server_ = std::make_unique<ChildProcess>(arguments);
        const bool json = !options.empty();
        ASSERT_TRUE(json ? server_->wait_for_error("UDP server listening.", seconds(5))
                         : server_->wait_for_output("UDP server listening.", seconds(5)))
            << server_->err();
    }

    Socket connect_control() {
        Socket control = connect_to("::1", port_ + 1);
        limit_waits(control.fd());
        return control;
    }

    // Datagrams of these lengths to the server's UDP port, from a socket bound to no port.
    void send_datagrams(const std::vector<size_t>& lengths) {
        std::vector<std::vector<unsigned char>> payloads;
        payloads.reserve(lengths.size());
        for (const size_t length : lengths) {
            payloads.emplace_back(length, 0x5a);
        }
        send_payloads(payloads);
    }

    void send_payloads(const std::vector<std::vector<unsigned char>>& payloads) {
        const Socket sender(socket(AF_INET6, SOCK_DGRAM, 0));
        const sockaddr_in6 target = make_socket_address(in6addr_loopback, port_ + 1);
        for (const std::vector<unsigned char>& payload : payloads) {
            ASSERT_EQ(sendto(sender.fd(), payload.data(), payload.size(), 0,
                             reinterpret_cast<const sockaddr*>(&target), sizeof target),
                      static_cast<ssize_t>(payload.size()));
        }
    }

    // The count the server answers once its receiver has taken in at least expected
    // datagrams, and a moment more so that any extra one would show; -1 when no answer.
    int64_t settled_count(int control, uint32_t expected) {
        uint32_t command = 0;
        uint32_t value = 0;
        const auto deadline = steady_clock::now() + seconds(3);
        for (bool settling = false;;) {
            if (!send_record(control, CMD_COUNT, 0) || !read_record(control, command, value)) {
                return -1;
            }
            EXPECT_EQ(command, CMD_COUNT);
            if (settling) {
                return value;
            }
            settling = value >= expected || steady_clock::now() >= deadline;
            std::this_thread::sleep_for(milliseconds(settling ? 100 : 10));
        }
    }

    int port_ = 0;
    std::unique_ptr<ChildProcess> server_;
};

struct CountCase {
    uint32_t size;
    std::vector<size_t> datagrams;
    uint32_t counted;
    const char* label;
};

TEST_F(UdpServerPeer, EchoesEachPhaseAndCountsDatagramsSinceIt) {
    const CountCase cases[] = {
        {1024, {1024, 1024, 1024}, 3, " 1k"},
        // The new phase starts counting from zero again.
        {1, {}, 0, "1"},
        // Zero-length datagrams are not counted; any other length is, whatever the phase size.
        {65536, {0, 1, 1500, 0, 65000}, 3, "64k"},
    };
    Socket control = connect_control();
    ASSERT_TRUE(control.is_open());
    for (const CountCase& phase : cases) {
        SCOPED_TRACE(phase.label);
        uint32_t command = 0;
        uint32_t value = 0;
        ASSERT_TRUE(send_record(control.fd(), CMD_TO_SERVER, phase.size));
        ASSERT_TRUE(read_record(control.fd(), command, value));
        EXPECT_EQ(command, CMD_TO_SERVER);
        EXPECT_EQ(value, phase.size);
        send_datagrams(phase.datagrams);
        EXPECT_EQ(settled_count(control.fd(), phase.counted), phase.counted);
    }
    control = Socket();

    const std::string printed = output_from(*server_, 0, AFTER_CONNECTION);
    EXPECT_TRUE(std::regex_search(
        printed, std::regex("UDP connection established \\.\\.\\. "
                            "\nReceiving from client, packet size  1k \\.\\.\\. (?:" +
                            RATE +
                            ")+"
                            "\nReceiving from client, packet size 1 \\.\\.\\. (?:" +
                            RATE +
                            ")+"
                            "\nReceiving from client, packet size 64k \\.\\.\\. (?:" +
                            RATE + ")+\nDone\\.\nUDP server listening\\.\n$")))
        << printed;
    EXPECT_EQ(server_->err(), "");
}

// The receiver takes datagrams in rounds while they flow; a count asked for right after
// the last one must still hold every one of them.
TEST_F(UdpServerPeer, CountsEveryDatagramSentBeforeTheRequest) {
    constexpr uint32_t BURST = 32;  // well inside the receive buffer
    const std::vector<size_t> burst(BURST, 1024);
    Socket control = connect_control();
    ASSERT_TRUE(control.is_open());
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        uint32_t command = 0;
        uint32_t value = 0;
        ASSERT_TRUE(send_record(control.fd(), CMD_TO_SERVER, 1024));
        ASSERT_TRUE(read_record(control.fd(), command, value));
        send_datagrams(burst);
        ASSERT_TRUE(send_record(control.fd(), CMD_COUNT, 0));
        ASSERT_TRUE(read_record(control.fd(), command, value));
        ASSERT_EQ(value, BURST);
    }
}

TEST_F(UdpServerPeer, CountBeforeAnyPhaseAnswersWithoutARate) {
    // Datagrams that come while nobody is served are nobody's: not counted. The receiver
    // takes them at once; the pause lets it do so on a slow machine too.
    send_datagrams({1024, 1024});
    std::this_thread::sleep_for(milliseconds(500));
    const size_t offset = server_->out().size();
    Socket control = connect_control();
    ASSERT_TRUE(control.is_open());
    EXPECT_EQ(settled_count(control.fd(), 0), 0);
    // The client's own count from the connection on, phase or not.
    send_datagrams({1024, 1024});
    EXPECT_EQ(settled_count(control.fd(), 2), 2);
    control = Socket();
    EXPECT_EQ(output_from(*server_, offset, AFTER_CONNECTION),
              "UDP connection established ... " + AFTER_CONNECTION);
    EXPECT_EQ(server_->err(), "");
}

struct UnservedCase {
    const char* name;
    std::vector<unsigned char> bytes;
};

TEST_F(UdpServerPeer, RecordsItDoesNotServeEndOnlyThatConnection) {
    const UnservedCase cases[] = {
        {"to server, size 0", record_bytes(CMD_TO_SERVER, 0)},
        {"to server, size 70000", record_bytes(CMD_TO_SERVER, 70000)},
        {"to client, size 0", record_bytes(CMD_TO_CLIENT, 0)},
        {"to client, size 70000", record_bytes(CMD_TO_CLIENT, 70000)},
        {"end", record_bytes(CMD_END, 0)},
        {"unknown command 9", record_bytes(9, 1024)},
        {"half a record", {0, 0, 0, 1}},
    };
    for (const UnservedCase& unserved : cases) {
        SCOPED_TRACE(unserved.name);
        const size_t offset = server_->out().size();
        Socket control = connect_control();
        ASSERT_TRUE(control.is_open());
        ASSERT_TRUE(send_bytes(control.fd(), unserved.bytes));
        shutdown(control.fd(), SHUT_WR);
        // Closed by the server without any answer, phase or label.
        EXPECT_TRUE(drain_until_closed(control.fd(), 3000));
        EXPECT_EQ(output_from(*server_, offset, AFTER_CONNECTION),
                  "UDP connection established ... " + AFTER_CONNECTION);
    }

    Socket control = connect_control();
    uint32_t command = 0;
    uint32_t value = 0;
    ASSERT_TRUE(send_record(control.fd(), CMD_TO_SERVER, 1024));
    ASSERT_TRUE(read_record(control.fd(), command, value));
    EXPECT_EQ(command, CMD_TO_SERVER);
    EXPECT_EQ(value, 1024u);
    EXPECT_EQ(server_->err(), "");
}

// A datagram numbered as a sender of this program numbers it, built by hand: byte 0 stays
// 0, then a marker, the sequence number and the send time, big-endian.
std::vector<unsigned char> numbered(int64_t sequence, size_t length = 1024) {
    std::vector<unsigned char> bytes(length, 0x5a);
    const unsigned char header[8] = {0, 'F', 'L', 'E', 'N', 'K', 'O', 1};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    const auto put = [&bytes](size_t at, uint64_t value) {
        for (size_t i = 0; i < 8 && at + i < bytes.size(); ++i) {
            bytes[at + i] = static_cast<unsigned char>(value >> (56 - 8 * i));
        }
    };
    put(8, static_cast<uint64_t>(sequence));
    put(16, static_cast<uint64_t>(sequence) * 1000000);
    return bytes;
}

struct SequenceCase {
    const char* name;
    std::vector<std::vector<unsigned char>> datagrams;
    bool known;
    int64_t lost;
    int64_t out_of_order;
    int64_t duplicates;
};

class UdpServerPeerLog : public UdpServerPeer {
   protected:
    void SetUp() override { start_server({"--json"}); }
};

// What the sequence numbers say goes into the server's log; datagrams without them, as a
// peer that knows nothing of them sends (zeros after byte 0, or any bytes), leave the
// figures unknown, never 0.
TEST_F(UdpServerPeerLog, SequenceFiguresAreKnownOnlyFromNumberedDatagrams) {
    const std::vector<unsigned char> zeros(1024, 0);
    const SequenceCase cases[] = {
        {"zeros", {zeros, zeros, zeros}, false, 0, 0, 0},
        {"random bytes", {std::vector<unsigned char>(1024, 0x5a)}, false, 0, 0, 0},
        {"too short for a header", {numbered(0, 23), numbered(1, 23)}, false, 0, 0, 0},
        // 2 comes late, once again, after a loss of 4; -1 and a jump far ahead are absurd.
        {"numbered",
         {numbered(0), numbered(1), numbered(3), numbered(2), numbered(2), numbered(-1),
          numbered(int64_t{1} << 40), numbered(6)},
         true,
         2,
         1,
         1},
    };
    Socket control = connect_control();
    ASSERT_TRUE(control.is_open());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const SequenceCase& phase = cases[i];
        SCOPED_TRACE(phase.name);
        uint32_t command = 0;
        uint32_t value = 0;
        ASSERT_TRUE(send_record(control.fd(), CMD_TO_SERVER, 1024));
        ASSERT_TRUE(read_record(control.fd(), command, value));
        send_payloads(phase.datagrams);
        ASSERT_TRUE(send_record(control.fd(), CMD_COUNT, 0));
        ASSERT_TRUE(read_record(control.fd(), command, value));
        // Every datagram counts as arrived, whatever its header says.
        EXPECT_EQ(value, phase.datagrams.size());

        const auto deadline = steady_clock::now() + seconds(5);
        while (lines_of(server_->out()).size() <= i && steady_clock::now() < deadline) {
            // Only to read on for a while: this text never comes.
            server_->wait_for_output("\x01", milliseconds(50));
        }
        const std::vector<std::string> lines = lines_of(server_->out());
        ASSERT_GT(lines.size(), i) << server_->out() << server_->err();
        const json line = json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(line.is_object()) << lines[i];
        for (const char* field : {"lost_by_sequence", "out_of_order", "duplicates", "jitter_ms"}) {
            EXPECT_EQ(line[field].is_null(), !phase.known) << field << ": " << lines[i];
        }
        if (phase.known) {
            EXPECT_EQ(line["lost_by_sequence"], phase.lost) << lines[i];
            EXPECT_EQ(line["out_of_order"], phase.out_of_order) << lines[i];
            EXPECT_EQ(line["duplicates"], phase.duplicates) << lines[i];
            EXPECT_TRUE(line["jitter_ms"].is_number()) << lines[i];
        }
    }
}

// The server's datagrams go to the address of the control connection at the UDP port,
// whatever port the connection came from: that needs a second host, since on this one
// the server holds the UDP port itself.
TEST(UdpServerPeerAcrossHosts, SendsBlocksOfThePhaseSizeToTheUdpPort) {
    NetnsPair hosts;
    if (!hosts.failure().empty()) {
        GTEST_SKIP() << "no namespaces: " << hosts.failure();
    }
    const int port = fresh_port();
    ChildProcess server(hosts.command(
        hosts.server(), {flenko_short_path(), "-s", "-u", "-p", std::to_string(port)}));
    ASSERT_TRUE(server.wait_for_output("UDP server listening.", seconds(5))) << server.err();

    in6_addr server_address{};
    ASSERT_EQ(inet_pton(AF_INET6, hosts.server().address.c_str(), &server_address), 1);
    const Socket datagrams = hosts.open_socket(hosts.client(), SOCK_DGRAM);
    const sockaddr_in6 udp_port = make_socket_address(in6addr_any, port + 1);
    ASSERT_EQ(bind(datagrams.fd(), reinterpret_cast<const sockaddr*>(&udp_port), sizeof udp_port),
              0);
    const Socket control = hosts.open_socket(hosts.client(), SOCK_STREAM);
    const sockaddr_in6 server_control = make_socket_address(server_address, port + 1);
    ASSERT_EQ(connect(control.fd(), reinterpret_cast<const sockaddr*>(&server_control),
                      sizeof server_control),
              0);
    limit_waits(control.fd());

    for (const uint32_t size : {1024u, 1500u}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(send_record(control.fd(), CMD_TO_CLIENT, size));
        int64_t received = 0;
        int64_t misfits = 0;
        uint32_t command = 0;
        uint32_t sent = 0;
        bool answered = false;
        std::vector<unsigned char> buffer(65536);
        const auto deadline = steady_clock::now() + seconds(10);
        // The answer travels behind the datagrams, so reading on until it is in and the
        // socket is empty sees every datagram that arrived.
        while (steady_clock::now() < deadline) {
            sockaddr_in6 sender{};
            socklen_t length = sizeof sender;
            const ssize_t got = recvfrom(datagrams.fd(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&sender), &length);
            if (got >= 0) {
                ++received;
                const bool fits =
                    got == static_cast<ssize_t>(size) && sender.sin6_port == udp_port.sin6_port &&
                    memcmp(&sender.sin6_addr, &server_address, sizeof server_address) == 0;
                misfits += fits ? 0 : 1;
                continue;
            }
            if (answered) {
                break;
            }
            pollfd ready[2] = {{datagrams.fd(), POLLIN, 0}, {control.fd(), POLLIN, 0}};
            poll(ready, 2, 100);
            if (ready[1].revents != 0) {
                ASSERT_TRUE(read_record(control.fd(), command, sent));
                answered = true;
            }
        }
        ASSERT_TRUE(answered);
        EXPECT_EQ(command, CMD_COUNT);
        EXPECT_GT(sent, 0u);
        EXPECT_EQ(misfits, 0);
        EXPECT_LE(received, sent);
        EXPECT_GE(received * 100, int64_t{sent} * 97) << received << " of " << sent;
    }
    EXPECT_TRUE(send_record(control.fd(), CMD_END, 0));

    EXPECT_NE(
        output_from(server, 0, AFTER_CONNECTION).find("\nSending to client, packet size  1k ... "),
        std::string::npos);
    EXPECT_NE(server.out().find("\nSending to client, packet size 1500 ... "), std::string::npos);
    EXPECT_EQ(server.err(), "");
}

}  // namespace
