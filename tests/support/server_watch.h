// Watches a running both-protocol server from outside: its descriptors and memory, and
// from what it prints, how many connections it has taken and ended.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "support/process.h"

// Entries of /proc/PID/fd; -1 when they cannot be read.
int open_descriptors(pid_t pid);

// VmRSS of /proc/PID/status in KiB; -1 when it cannot be read.
long resident_kib(pid_t pid);

// True while the process has neither exited nor been reaped.
bool process_running(pid_t pid);

// Waits until the process holds expected descriptors, for the close that follows a
// connection's last line; gives the last count seen.
int settled_descriptors(pid_t pid, int expected, std::chrono::milliseconds timeout);

// What a server's output says of its connections, counted as the output grows.
struct ServedCount {
    size_t tcp_taken = 0;
    size_t udp_taken = 0;
    size_t tcp_listening = 0;
    size_t udp_listening = 0;
    size_t ended = 0;
    size_t counted_to = 0;  // where the next count starts in the output

    void count(const std::string& out);
};

// Waits until the server has taken tcp and udp connections, ended each of them and listens
// again on both ports.
testing::AssertionResult WaitsIdle(ChildProcess& server, ServedCount& served, size_t tcp,
                                   size_t udp, std::chrono::milliseconds timeout);

// `flenko_short -s -p port`, once both roles listen; null otherwise.
std::unique_ptr<ChildProcess> start_both_server(int port);

// One datagram of length bytes to ::1 at port, in one call.
bool send_datagram(int socket, int port, size_t length);
