// flenko_delay_path: two network namespaces joined through this process by a TUN device in
// each, every packet held for half the round-trip time and, when asked, paced at a rate.
// The kernel here has no qdisc that delays, so this stands in for one in tests and
// benchmarks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/delay_line.h"

extern char** environ;

namespace {

using Clock = DelayLine::Clock;
using std::chrono::nanoseconds;

constexpr const char* DEVICE = "dp0";
constexpr const char* CLIENT_ADDRESS = "fd00:de1a::1";
constexpr const char* SERVER_ADDRESS = "fd00:de1a::2";
// Without a rate nothing queues beyond the delay itself: room for over a gigabit a second
// at a few hundred milliseconds.
constexpr size_t QUEUE_WITHOUT_RATE = size_t{32} << 20;
// A rate's queue holds at least this many full-sized packets, however short the delay.
constexpr size_t QUEUE_FLOOR = 100 * 1500;
constexpr auto PROBE_EVERY = std::chrono::milliseconds(100);
constexpr auto PROBE_LIMIT = std::chrono::seconds(10);

const char USAGE[] =
    "usage: flenko_delay_path --client NS --server NS --rtt-ms MS [--rate-mbit MBIT]\n"
    "                         [--queue-kbytes KIB] [--exit-with-parent]\n"
    "Makes namespaces NS (client end fd00:de1a::1, server end fd00:de1a::2, /64 on dp0),\n"
    "prints 'ready' once a probe has crossed both ways, forwards until SIGINT or SIGTERM,\n"
    "then prints what each direction carried and removes both namespaces.\n"
    "  --rtt-ms        round-trip time added; each direction holds packets half of it\n"
    "  --rate-mbit     rate cap of each direction, in 10^6 bit/s (default: none)\n"
    "  --queue-kbytes  KiB a direction holds, packets in their delay included, beyond which\n"
    "                  arrivals are dropped (default: twice rate times RTT, or 32 MiB)\n"
    "  --exit-with-parent  stop as on SIGTERM when the parent process ends\n";

volatile sig_atomic_t stop_signal = 0;

void note_signal(int signal) {
    stop_signal = signal;
}

class Fd {
   public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }

   private:
    int fd_ = -1;
};

struct Options {
    std::string client;
    std::string server;
    double rtt_ms = -1.0;
    double rate_mbit = 0.0;
    double queue_kbytes = 0.0;
    bool exit_with_parent = false;
};

bool parse_number(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && value >= 0.0 && value < 1e9;
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--exit-with-parent") {
            options.exit_with_parent = true;
            continue;
        }
        if (i + 1 >= argc) {
            return std::nullopt;
        }
        const char* value = argv[++i];
        double number = 0.0;
        if (flag == "--client") {
            options.client = value;
        } else if (flag == "--server") {
            options.server = value;
        } else if (flag == "--rtt-ms" && parse_number(value, number)) {
            options.rtt_ms = number;
        } else if (flag == "--rate-mbit" && parse_number(value, number) && number > 0.0) {
            options.rate_mbit = number;
        } else if (flag == "--queue-kbytes" && parse_number(value, number) && number > 0.0) {
            options.queue_kbytes = number;
        } else {
            return std::nullopt;
        }
    }
    if (options.client.empty() || options.server.empty() || options.client == options.server ||
        options.rtt_ms < 0.0) {
        return std::nullopt;
    }
    return options;
}

bool signal_pending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
}

std::string find_ip() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// Runs argv to its end with the signals this process blocks open again, its output sent to
// standard error so that standard output carries only this program's lines.
bool run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& argument : argv) {
        args.push_back(const_cast<char*>(argument.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    int status = 0;
    if (failed == 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (failed != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string text;
        for (const std::string& argument : argv) {
            text += argument + " ";
        }
        fprintf(stderr, "flenko_delay_path: %sfailed\n", text.c_str());
        return false;
    }
    return true;
}

// The namespaces this process made, removed again however it ends.
class Namespaces {
   public:
    explicit Namespaces(std::string ip) : ip_(std::move(ip)) {}
    Namespaces(const Namespaces&) = delete;
    Namespaces& operator=(const Namespaces&) = delete;
    ~Namespaces() {
        for (const std::string& name : made_) {
            run({ip_, "netns", "del", name});
        }
    }
    bool add(const std::string& name) {
        if (!run({ip_, "netns", "add", name})) {
            return false;
        }
        made_.push_back(name);
        return true;
    }

   private:
    std::string ip_;
    std::vector<std::string> made_;
};

// Calls make with this thread moved into namespace name, then moves it back, so that the
// devices and sockets made belong there.
template <typename Make>
bool in_namespace(const std::string& name, Make make) {
    const Fd home(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    const Fd there(open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    if (home.get() < 0 || there.get() < 0 || setns(there.get(), CLONE_NEWNET) != 0) {
        perror(("flenko_delay_path: entering namespace " + name).c_str());
        return false;
    }
    const bool made = make();
    if (setns(home.get(), CLONE_NEWNET) != 0) {
        perror("flenko_delay_path: leaving a namespace");
        return false;
    }
    return made;
}

Fd open_tun() {
    Fd tun(open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (tun.get() < 0) {
        perror("flenko_delay_path: /dev/net/tun");
        return tun;
    }
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    strncpy(request.ifr_name, DEVICE, IFNAMSIZ - 1);
    if (ioctl(tun.get(), TUNSETIFF, &request) != 0) {
        perror("flenko_delay_path: TUNSETIFF");
        return Fd();
    }
    return tun;
}

Fd open_probe_socket() {
    Fd probe(socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    if (probe.get() < 0 || bind(probe.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        perror("flenko_delay_path: probe socket");
        return Fd();
    }
    return probe;
}

// One end: its namespace, TUN device and probe socket.
struct End {
    std::string name;
    const char* address;
    Fd tun;
    Fd probe;
};

bool set_up_end(const std::string& ip, End& end) {
    if (!in_namespace(end.name, [&] {
            end.tun = open_tun();
            end.probe = open_probe_socket();
            return end.tun.get() >= 0 && end.probe.get() >= 0;
        })) {
        return false;
    }
    const std::string prefix = std::string(end.address) + "/64";
    return run({ip, "-n", end.name, "link", "set", "dev", "lo", "up"}) &&
           run({ip, "-n", end.name, "link", "set", "dev", DEVICE, "mtu", "1500", "up"}) &&
           run({ip, "-n", end.name, "addr", "add", prefix, "dev", DEVICE, "nodad"});
}

struct Direction {
    const char* name;
    DelayLine line;
    int from;
    int to;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t lost_on_write = 0;
};

// Takes what has arrived, a bounded batch so that the other direction is not starved.
bool take_arrivals(Direction& direction) {
    static uint8_t packet[DelayLine::MAX_PACKET + 1];
    for (int i = 0; i < 64; ++i) {
        const ssize_t length = read(direction.from, packet, sizeof packet);
        if (length < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return true;
            }
            perror("flenko_delay_path: reading a TUN device");
            return false;
        }
        direction.line.push(Clock::now(), {packet, static_cast<size_t>(length)});
    }
    return true;
}

void send_due(Direction& direction, Clock::time_point now) {
    while (!direction.line.empty() && direction.line.next_departure() <= now) {
        const std::span<const uint8_t> packet = direction.line.front();
        if (write(direction.to, packet.data(), packet.size()) ==
            static_cast<ssize_t>(packet.size())) {
            ++direction.packets;
            direction.bytes += packet.size();
        } else {
            ++direction.lost_on_write;
        }
        direction.line.pop();
    }
}

// A datagram from the client end to the server end and back proves the path both ways.
class Probe {
   public:
    Probe(int client, int server) : client_(client), server_(server) {}

    bool answered() const { return answered_; }
    Clock::time_point next_send() const { return next_send_; }
    // The sockets to wait on, or -1 (which poll skips) once answered.
    int client() const { return answered_ ? -1 : client_; }
    int server() const { return answered_ ? -1 : server_; }

    void step(Clock::time_point now, uint16_t server_port) {
        char text[16];
        sockaddr_in6 peer{};
        socklen_t size = sizeof peer;
        const ssize_t got =
            recvfrom(server_, text, sizeof text, 0, reinterpret_cast<sockaddr*>(&peer), &size);
        if (got > 0) {
            sendto(server_, text, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&peer),
                   size);
        }
        answered_ = recv(client_, text, sizeof text, 0) > 0;
        if (!answered_ && now >= next_send_) {
            sockaddr_in6 server{};
            server.sin6_family = AF_INET6;
            server.sin6_port = htons(server_port);
            inet_pton(AF_INET6, SERVER_ADDRESS, &server.sin6_addr);
            sendto(client_, "probe", 5, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
            next_send_ = now + PROBE_EVERY;
        }
    }

   private:
    int client_;
    int server_;
    bool answered_ = false;
    Clock::time_point next_send_{};
};

uint16_t bound_port(int socket) {
    sockaddr_in6 address{};
    socklen_t size = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin6_port);
}

// Forwards until a stop signal; false when the path failed.
bool forward(Direction (&directions)[2], Probe& probe, uint16_t probe_port) {
    sigset_t open_signals;
    sigemptyset(&open_signals);
    const Clock::time_point give_up = Clock::now() + PROBE_LIMIT;
    while (stop_signal == 0) {
        Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake;
        for (const Direction& direction : directions) {
            if (!direction.line.empty() && (!wake || direction.line.next_departure() < *wake)) {
                wake = direction.line.next_departure();
            }
        }
        if (!probe.answered() && (!wake || probe.next_send() < *wake)) {
            wake = probe.next_send();
        }
        timespec timeout{};
        if (wake && *wake > now) {
            const auto left = std::chrono::duration_cast<nanoseconds>(*wake - now).count();
            timeout = {static_cast<time_t>(left / 1'000'000'000), left % 1'000'000'000};
        }
        pollfd fds[4] = {{directions[0].from, POLLIN, 0},
                         {directions[1].from, POLLIN, 0},
                         {probe.client(), POLLIN, 0},
                         {probe.server(), POLLIN, 0}};
        if (ppoll(fds, 4, wake ? &timeout : nullptr, &open_signals) < 0 && errno != EINTR) {
            perror("flenko_delay_path: ppoll");
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                fprintf(stderr, "flenko_delay_path: a TUN device failed\n");
                return false;
            }
            if ((fds[i].revents & POLLIN) != 0 && !take_arrivals(directions[i])) {
                return false;
            }
        }
        now = Clock::now();
        for (Direction& direction : directions) {
            send_due(direction, now);
        }
        if (!probe.answered()) {
            probe.step(now, probe_port);
            if (probe.answered()) {
                printf("ready\n");
                fflush(stdout);
            } else if (now > give_up) {
                fprintf(stderr, "flenko_delay_path: no probe crossed the path both ways\n");
                return false;
            }
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> parsed = parse(argc, argv);
    if (!parsed) {
        fputs(USAGE, stderr);
        return 2;
    }
    const Options& options = *parsed;

    // Stop signals wait until the loop can take them, so that set-up never leaves a
    // namespace behind; a closed standard output must not kill the process either.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (options.exit_with_parent) {
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            return 1;
        }
    }
    // Serialization gaps are tens of microseconds; the default slack would blur them.
    prctl(PR_SET_TIMERSLACK, 1000UL);

    const std::string ip = find_ip();
    if (ip.empty()) {
        fprintf(stderr, "flenko_delay_path: ip (iproute2) is not installed\n");
        return 1;
    }
    const nanoseconds one_way(static_cast<int64_t>(options.rtt_ms * 1e6 / 2));
    const auto rate = static_cast<int64_t>(options.rate_mbit * 1e6);
    size_t queue = QUEUE_WITHOUT_RATE;
    if (options.queue_kbytes > 0.0) {
        queue = static_cast<size_t>(options.queue_kbytes * 1024);
    } else if (rate > 0) {
        queue = std::max(QUEUE_FLOOR, static_cast<size_t>(rate / 8 * options.rtt_ms / 1e3 * 2));
    }

    Namespaces namespaces(ip);
    End client{options.client, CLIENT_ADDRESS, Fd(), Fd()};
    End server{options.server, SERVER_ADDRESS, Fd(), Fd()};
    for (End* end : {&client, &server}) {
        if (signal_pending()) {
            return 0;
        }
        if (!namespaces.add(end->name) || !set_up_end(ip, *end)) {
            return 1;
        }
    }

    Direction directions[2] = {
        {"client to server", DelayLine(one_way, rate, queue), client.tun.get(), server.tun.get()},
        {"server to client", DelayLine(one_way, rate, queue), server.tun.get(), client.tun.get()},
    };
    Probe probe(client.probe.get(), server.probe.get());
    const bool carried = forward(directions, probe, bound_port(server.probe.get()));
    for (const Direction& direction : directions) {
        printf("%s: %llu packets, %llu bytes, %llu dropped\n", direction.name,
               static_cast<unsigned long long>(direction.packets),
               static_cast<unsigned long long>(direction.bytes),
               static_cast<unsigned long long>(direction.line.dropped() + direction.lost_on_write));
    }
    fflush(stdout);
    return carried ? 0 : 1;
}
