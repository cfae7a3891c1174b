// Measures what a sleeping receiver costs on this machine: the price of waking a thread
// that sleeps on another CPU, and how long a 10 us nap really lasts. Prints `key value`
// lines for bench/compare.py; times are in microseconds. The naps are the receivers' own.

#include <sched.h>
#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/receive_nap.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int WARM_UP_ROUNDS = 1000;
constexpr int ROUNDS = 20000;
// Far longer than a wake-up takes, so the partner is surely asleep when pinged.
constexpr auto QUIET = std::chrono::microseconds(50);
constexpr int WARM_UP_NAPS = 500;
constexpr int NAPS = 20000;

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void spin_for(Clock::duration span) {
    const auto until = Clock::now() + span;
    while (Clock::now() < until) {
    }
}

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

void write_byte(int fd) {
    const char byte = 0;
    if (write(fd, &byte, 1) != 1) {
        fail("write");
    }
}

// False at end of file.
bool read_byte(int fd) {
    char byte;
    const ssize_t got = read(fd, &byte, 1);
    if (got < 0) {
        fail("read");
    }
    return got == 1;
}

struct Summary {
    double mean;
    double median;
    double p99;
};

Summary summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    double sum = 0;
    for (const double v : values) {
        sum += v;
    }
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
    return {sum / static_cast<double>(n), median, values[std::max<size_t>(rank, 1) - 1]};
}

// The first two CPUs this process may use, or -1 where there are not two.
std::pair<int, int> two_cpus() {
#ifdef CPU_SET
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        int found[2] = {-1, -1};
        int count = 0;
        for (int cpu = 0; cpu < CPU_SETSIZE && count < 2; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                found[count++] = cpu;
            }
        }
        if (count == 2) {
            return {found[0], found[1]};
        }
    }
#endif
    return {-1, -1};
}

// Binds the calling thread to one CPU; false where that is not possible.
bool pin_to(int cpu) {
#ifdef CPU_SET
    if (cpu < 0) {
        return false;
    }
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    return sched_setaffinity(0, sizeof only, &only) == 0;
#else
    (void)cpu;
    return false;
#endif
}

std::string cpu_name(int cpu, bool pinned) {
    return pinned ? std::to_string(cpu) : "any";
}

void probe_wake_up() {
    int ping[2];
    int pong[2];
    if (pipe(ping) != 0 || pipe(pong) != 0) {
        fail("pipe");
    }
    const auto [pinger_cpu, ponger_cpu] = two_cpus();

    // Both sides are threads of their own, so that the nap probe keeps the process's CPUs.
    std::thread ponger([&, ponger_cpu = ponger_cpu] {
        const char pinned = pin_to(ponger_cpu) ? 1 : 0;
        if (write(pong[1], &pinned, 1) != 1) {
            fail("write");
        }
        while (read_byte(ping[0])) {
            write_byte(pong[1]);
        }
    });
    std::vector<double> waker;
    std::vector<double> latency;
    bool pinger_pinned = false;
    char ponger_pinned = 0;
    std::thread pinger([&, pinger_cpu = pinger_cpu] {
        if (read(pong[0], &ponger_pinned, 1) != 1) {
            fail("read");
        }
        // Never both on one CPU: with the ponger unpinned, stay unpinned too.
        pinger_pinned = ponger_pinned && pin_to(pinger_cpu);
        waker.reserve(ROUNDS);
        latency.reserve(ROUNDS);
        for (int round = 0; round < WARM_UP_ROUNDS + ROUNDS; ++round) {
            spin_for(QUIET);
            const auto start = Clock::now();
            write_byte(ping[1]);
            const auto written = Clock::now();
            if (!read_byte(pong[0])) {
                fail("read");
            }
            const auto back = Clock::now();
            if (round >= WARM_UP_ROUNDS) {
                waker.push_back(microseconds(written - start));
                latency.push_back(microseconds(back - start) / 2);
            }
        }
    });
    pinger.join();
    close(ping[1]);
    ponger.join();
    close(ping[0]);
    close(pong[0]);
    close(pong[1]);

    const Summary w = summarize(std::move(waker));
    const Summary l = summarize(std::move(latency));
    std::printf("wake_cpus %s,%s\n", cpu_name(pinger_cpu, pinger_pinned).c_str(),
                cpu_name(ponger_cpu, ponger_pinned != 0).c_str());
    std::printf("wake_rounds %d\n", ROUNDS);
    std::printf("wake_waker_us_mean %.2f\nwake_waker_us_median %.2f\n", w.mean, w.median);
    std::printf("wake_latency_us_mean %.2f\nwake_latency_us_median %.2f\n", l.mean, l.median);
}

void probe_nap() {
    // The receivers' own naps, with their timer slack.
    tighten_timer_slack();
    long slack = -1;
#ifdef PR_GET_TIMERSLACK
    slack = prctl(PR_GET_TIMERSLACK);
#endif
    std::vector<double> naps;
    naps.reserve(NAPS);
    for (int nap = 0; nap < WARM_UP_NAPS + NAPS; ++nap) {
        const auto start = Clock::now();
        receive_nap();
        const auto end = Clock::now();
        if (nap >= WARM_UP_NAPS) {
            naps.push_back(microseconds(end - start));
        }
    }
    const Summary s = summarize(std::move(naps));
    std::printf("nap_requested_us %.2f\n", RECEIVE_NAP.tv_nsec / 1000.0);
    if (slack >= 0) {
        std::printf("nap_timer_slack_ns %ld\n", slack);
    } else {
        std::printf("nap_timer_slack_ns unknown\n");
    }
    std::printf("nap_count %d\n", NAPS);
    std::printf("nap_us_mean %.2f\nnap_us_median %.2f\nnap_us_p99 %.2f\n", s.mean, s.median, s.p99);
}

}  // namespace

int main() {
    probe_wake_up();
    probe_nap();
    return 0;
}
