// Measures what watching a phase costs this process, apart from any traffic: the CPU time
// a watch with --interval=0.1 takes over a phase of PHASE_SECONDS on a live TCP connection
// (its thread's wake-ups, TCP_INFO and clock readings, and its printed lines). Prints
// `key value` lines for bench/watch_overhead.py.

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/phase_watch.h"
#include "core/run_config.h"
#include "core/socket_setup.h"

namespace {

constexpr int PHASE_SECONDS_MEASURED = 6;
constexpr int64_t INTERVAL_MICROSECONDS = 100000;

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Both ends of a loopback TCP connection, for TCP_INFO to read.
bool connect_pair(Socket& client, Socket& server) {
    const Socket listener(socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 address = make_socket_address(in6addr_loopback, 0);
    socklen_t length = sizeof address;
    if (bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.fd(), 1) != 0 ||
        getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    client = Socket(socket(AF_INET6, SOCK_STREAM, 0));
    if (connect(client.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    server = Socket(accept(listener.fd(), nullptr, nullptr));
    return server.is_open();
}

}  // namespace

int main() {
    Socket client;
    Socket server;
    if (!connect_pair(client, server)) {
        perror("loopback connection");
        return 1;
    }
    // The interval lines are part of the cost; where they go is not.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    run_config.watch_phases = true;
    run_config.verbose = true;
    run_config.interval_microseconds = INTERVAL_MICROSECONDS;
    run_config.phase_seconds = PHASE_SECONDS_MEASURED;

    PhaseProgress progress;
    const double before = cpu_seconds();
    {
        PhaseWatch watch(8192, true, &progress, client.fd(), true);
        std::this_thread::sleep_for(std::chrono::seconds(PHASE_SECONDS_MEASURED));
        watch.end(0, 0);
        print_phase_figures(watch.finish());
    }
    const double used = cpu_seconds() - before;
    fprintf(stderr, "watch_cpu_microseconds_per_second %.1f\n",
            used * 1e6 / PHASE_SECONDS_MEASURED);
    fprintf(stderr, "watch_share_of_a_core_percent %.4f\n", used * 100.0 / PHASE_SECONDS_MEASURED);
    return 0;
}
