#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "core/control_message.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/tcp_transcript.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Ctrl-C ends either side at once with status 0, also in the middle of a phase (the
// client would run for twelve seconds; the bounds leave room for a sanitizer's exit on a
// slow machine, and the client's stays well short of its run's natural end).
TEST(Signals, InterruptEndsServerAndClientAtOnce) {
    const int port = fresh_port();
    const auto server = spawn({flenko_short_path(), "-s", "-p", std::to_string(port)});
    // The two roles start on threads of their own and print in either order.
    ASSERT_TRUE(server->wait_for_output("UDP server listening.\n", seconds(5)));
    ASSERT_TRUE(server->wait_for_output("TCP server listening.\n", seconds(5)));

    const auto client = spawn({flenko_short_path(), "-t", "-p", std::to_string(port), "::1"});
    ASSERT_TRUE(client->wait_for_output("Packet size  1k bytes: ", seconds(5)));
    client->send_signal(SIGINT);
    const ProcessResult client_result = client->finish(seconds(6));
    EXPECT_EQ(client_result.exit_status, 0);

    server->send_signal(SIGINT);
    const ProcessResult server_result = server->finish(seconds(10));
    EXPECT_EQ(server_result.exit_status, 0);
}

// The alarm belongs to the process and may land on any thread: a burst of them while both
// server roles wait for clients must not end either role.
TEST(Signals, StrayAlarmsEndNeitherServerRole) {
    const int port = fresh_port();
    const auto server = spawn({flenko_short_path(), "-s", "-p", std::to_string(port)});
    ASSERT_TRUE(server->wait_for_output("UDP server listening.\n", seconds(5)));
    // One TCP run installs the alarm handler, as any sending phase does.
    ASSERT_EQ(run_tcp_client("::1", port, {"-b", "1k"}).exit_status, 0);

    // Aimed at every thread in turn, as the kernel may pick any of them.
    const std::string tasks = "/proc/" + std::to_string(server->pid()) + "/task";
    for (int round = 0; round < 20; ++round) {
        for (const auto& task : std::filesystem::directory_iterator(tasks)) {
            const pid_t thread = std::stoi(task.path().filename().string());
            syscall(SYS_tgkill, server->pid(), thread, SIGALRM);
        }
        std::this_thread::sleep_for(milliseconds(2));
    }

    const ProcessResult tcp = run_tcp_client("::1", port, {"-b", "1k"});
    EXPECT_EQ(tcp.exit_status, 0);
    EXPECT_TRUE(FullyMatches(tcp.out, client_run_pattern({" 1k"})));

    Socket udp_control = connect_to("::1", port + 1);
    ASSERT_TRUE(udp_control.is_open());
    ASSERT_TRUE(send_record(udp_control.fd(), CMD_TO_SERVER, 1024));
    uint32_t command = 0;
    uint32_t value = 0;
    ASSERT_TRUE(read_record(udp_control.fd(), command, value));
    EXPECT_EQ(command, CMD_TO_SERVER);
    EXPECT_EQ(value, 1024U);

    server->send_signal(SIGINT);
    // A server never ends by itself: the bound only leaves room for a slow exit.
    const ProcessResult result = server->finish(seconds(10));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err.find("select()"), std::string::npos) << result.err;
}

}  // namespace
