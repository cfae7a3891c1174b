// Many short sessions in a row against one server, both protocols in turn: whatever a
// session takes, descriptors or memory, it must give back. FLENKO_SOAK_SESSIONS makes a
// longer run; run the test binary itself beyond the ctest time-out.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/control_message.h"
#include "core/socket_setup.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/server_watch.h"
#include "support/tcp_transcript.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr long DEFAULT_SESSIONS = 1000;
constexpr long WARM_UP_SESSIONS = 50;
// Room for pages touched late; a session that kept even one test buffer would pass it
// within a few dozen sessions. The thread checker's own tables grow by about a MiB over
// the first few thousand sessions.
#ifdef __SANITIZE_THREAD__
constexpr long RESIDENT_GROWTH_KIB = 2048;
#else
constexpr long RESIDENT_GROWTH_KIB = 512;
#endif

long session_count() {
    const char* text = std::getenv("FLENKO_SOAK_SESSIONS");
    if (text == nullptr || *text == '\0') {
        return DEFAULT_SESSIONS;
    }
    char* end = nullptr;
    const long sessions = std::strtol(text, &end, 10);
    if (*end != '\0' || sessions < 2 * WARM_UP_SESSIONS) {
        ADD_FAILURE() << "FLENKO_SOAK_SESSIONS must be a number of at least "
                      << 2 * WARM_UP_SESSIONS << ": " << text;
        return DEFAULT_SESSIONS;
    }
    return sessions;
}

Socket connect_limited(int port) {
    Socket connection = connect_to("::1", port);
    const timeval limit{5, 0};
    setsockopt(connection.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(connection.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return connection;
}

// Passes when the server closes within five seconds without sending a byte.
testing::AssertionResult ClosedByServer(int socket) {
    char byte = 0;
    const ssize_t received = recv(socket, &byte, 1, 0);
    if (received == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << (received > 0 ? std::string("a byte came") : std::strerror(errno));
}

// A receiving phase of one marked block, then the end record, all in one write.
testing::AssertionResult tcp_session(int port) {
    const Socket connection = connect_limited(port);
    if (!connection.is_open()) {
        return testing::AssertionFailure() << "TCP: cannot connect";
    }
    std::vector<unsigned char> bytes = record_bytes(CMD_TO_SERVER, 1024);
    bytes.resize(8 + 1024, 0x5a);
    bytes[8] = 1;
    const std::vector<unsigned char> end = record_bytes(CMD_END, 0);
    bytes.insert(bytes.end(), end.begin(), end.end());
    if (!send_bytes(connection.fd(), bytes)) {
        return testing::AssertionFailure() << "TCP: cannot send";
    }
    const testing::AssertionResult closed = ClosedByServer(connection.fd());
    if (!closed) {
        return testing::AssertionFailure() << "TCP: no close by the server: " << closed.message();
    }
    return testing::AssertionSuccess();
}

// A phase's echo, one datagram, its count, and the end record.
testing::AssertionResult udp_session(int port, int datagrams) {
    const Socket connection = connect_limited(port + 1);
    if (!connection.is_open()) {
        return testing::AssertionFailure() << "UDP: cannot connect";
    }
    uint32_t command = 0;
    uint32_t value = 0;
    if (!send_record(connection.fd(), CMD_TO_SERVER, 1024) ||
        !read_record(connection.fd(), command, value) || command != CMD_TO_SERVER ||
        value != 1024) {
        return testing::AssertionFailure() << "UDP: no echo";
    }
    if (!send_datagram(datagrams, port + 1, 1024)) {
        return testing::AssertionFailure() << "UDP: cannot send a datagram";
    }
    // The receiver thread may not have counted it yet when the first request comes.
    const auto deadline = std::chrono::steady_clock::now() + seconds(5);
    do {
        if (!send_record(connection.fd(), CMD_COUNT, 1024) ||
            !read_record(connection.fd(), command, value) || command != CMD_COUNT) {
            return testing::AssertionFailure() << "UDP: no count answer";
        }
        if (value == 0) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    } while (value == 0 && std::chrono::steady_clock::now() < deadline);
    if (value != 1) {
        return testing::AssertionFailure() << "UDP: counted " << value << " of 1 datagram";
    }
    if (!send_record(connection.fd(), CMD_END, 0)) {
        return testing::AssertionFailure() << "UDP: cannot send the end record";
    }
    const testing::AssertionResult closed = ClosedByServer(connection.fd());
    if (!closed) {
        return testing::AssertionFailure() << "UDP: no close by the server: " << closed.message();
    }
    return testing::AssertionSuccess();
}

// The server's output goes to /dev/null: a run of any length neither fills a pipe nor
// piles up text here. Each session ends with the server's close, so none is left open.
TEST(Soak, ShortSessionsLeaveDescriptorsAndMemoryFlat) {
    const long sessions = session_count();
    printf("soak: FLENKO_SOAK_SESSIONS=%ld\n", sessions);
    const int port = fresh_port();
    const auto server = spawn({"/bin/sh", "-c", "exec \"$0\" -s -p \"$1\" >/dev/null",
                               flenko_short_path(), std::to_string(port)});
    const Socket datagrams(socket(AF_INET6, SOCK_DGRAM, 0));
    ASSERT_TRUE(datagrams.is_open());

    int warm_descriptors = -1;
    long warm_resident = -1;
    for (long session = 0; session < sessions; ++session) {
        const bool udp = session % 2 != 0;
        ASSERT_TRUE(udp ? udp_session(port, datagrams.fd()) : tcp_session(port))
            << "session " << session;
        if (session + 1 == WARM_UP_SESSIONS) {
            warm_descriptors = open_descriptors(server->pid());
            warm_resident = resident_kib(server->pid());
            ASSERT_GT(warm_descriptors, 0);
            ASSERT_GT(warm_resident, 0);
        }
    }

    EXPECT_EQ(settled_descriptors(server->pid(), warm_descriptors, seconds(2)), warm_descriptors);
    const long resident = resident_kib(server->pid());
    printf("soak: resident %ld KiB after %ld sessions, %ld KiB at the end\n", warm_resident,
           WARM_UP_SESSIONS, resident);
    EXPECT_LE(resident, warm_resident + RESIDENT_GROWTH_KIB);

    server->send_signal(SIGINT);
    const ProcessResult result = server->finish(seconds(5));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
}

}  // namespace
