// A server run for others: restarts at once, and ends sessions at --max-session.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "core/control_message.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/server_watch.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

// Ends a control connection the way that leaves the server's side in TIME_WAIT: the client
// asks to end, then waits for the server to close first.
void end_after_the_server(int port) {
    Socket control = connect_to("::1", port);
    ASSERT_TRUE(control.is_open()) << port;
    ASSERT_TRUE(send_record(control.fd(), CMD_END, 0));
    ASSERT_TRUE(drain_until_closed(control.fd(), 10000));
}

// Both ports still hold the last connections in TIME_WAIT when the new server binds them.
TEST(ServerRestart, ListensAgainRightAfterServedClients) {
    const int port = fresh_port();
    auto first = start_both_server(port);
    ASSERT_NE(first, nullptr);
    end_after_the_server(port);
    end_after_the_server(port + 1);
    ServedCount served;
    ASSERT_TRUE(WaitsIdle(*first, served, 1, 1, seconds(10)));
    first->send_signal(SIGINT);
    EXPECT_EQ(first->finish(seconds(10)).exit_status, 0);

    auto second = start_both_server(port);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->err(), "");
    // And it serves.
    end_after_the_server(port);
    second->send_signal(SIGINT);
    EXPECT_EQ(second->finish(seconds(10)).err, "");
}

// A client that keeps asking for phases (a thousand passes of two one-second phases) is
// ended at the limit, and the next client is then served whole.
TEST(MaxSession, EndsAClientThatStaysAndServesTheNext) {
    const std::string port = std::to_string(fresh_port());
    ChildProcess server({flenko_short_path(), "-s", "-t", "-p", port, "--max-session=3"});
    ASSERT_TRUE(server.wait_for_output("TCP server listening.\n", seconds(10))) << server.err();

    const auto start = steady_clock::now();
    const ProcessResult staying = run_process(
        {flenko_short_path(), "-t", "-p", port, "-b", "1k", "--repeat=1000", "::1"}, seconds(60));
    const auto lasted = steady_clock::now() - start;
    EXPECT_EQ(staying.exit_status, 0) << staying.err;
    // Cut at three seconds; the margin is for a slow machine, far short of the run's own end.
    EXPECT_GE(lasted, milliseconds(2900));
    EXPECT_LT(lasted, seconds(20));
    EXPECT_FALSE(staying.err.empty()) << "the cut transfer is reported";
    ASSERT_TRUE(server.wait_for_error(
        "--max-session: the TCP session of ::1 has lasted 3 s; ending it.\n", seconds(10)))
        << server.err();
    ASSERT_TRUE(server.wait_for_output("\nDone.\nTCP server listening.\n", seconds(10)))
        << server.out();

    const ProcessResult next =
        run_process({flenko_short_path(), "-t", "-p", port, "-b", "1k", "::1"}, seconds(30));
    EXPECT_EQ(next.exit_status, 0);
    EXPECT_EQ(next.err, "");
    EXPECT_NE(next.out.find(" Rx.\nDone.\n"), std::string::npos) << next.out;
}

// The UDP server's session ends at the limit too, here while its client asks for one
// receiving phase after another without sending a datagram.
TEST(MaxSession, EndsAUdpControlConnection) {
    const int port = fresh_port();
    ChildProcess server(
        {flenko_short_path(), "-s", "-u", "-p", std::to_string(port), "--max-session=2"});
    ASSERT_TRUE(server.wait_for_output("UDP server listening.\n", seconds(10))) << server.err();
    const Socket control = connect_to("::1", port + 1);
    ASSERT_TRUE(control.is_open());
    const auto start = steady_clock::now();
    uint32_t command = 0;
    uint32_t value = 0;
    int phases = 0;
    while (steady_clock::now() - start < seconds(30) &&
           send_record(control.fd(), CMD_TO_SERVER, 1024) &&
           read_record(control.fd(), command, value) && send_record(control.fd(), CMD_COUNT, 0) &&
           read_record(control.fd(), command, value)) {
        ++phases;
    }
    const auto lasted = steady_clock::now() - start;
    EXPECT_GT(phases, 0);
    EXPECT_GE(lasted, milliseconds(1900));
    EXPECT_LT(lasted, seconds(15));
    EXPECT_TRUE(
        server.wait_for_error("--max-session: the UDP session of ::1 has lasted 2 s", seconds(10)))
        << server.err();
    EXPECT_TRUE(server.wait_for_output("\nDone.\nUDP server listening.\n", seconds(10)))
        << server.out();
}

}  // namespace
