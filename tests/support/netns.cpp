#include "support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include "support/process.h"

namespace {

// Names are PREFIX<pid>x<serial><side>: unique per test process, and short enough to
// serve as interface names too (15 characters at most).
constexpr const char* PREFIX = "fkn";

// Unpaced, a one-second phase overruns the receiving socket on a busy machine and loses
// up to half of the datagrams. At this rate the receiver keeps up, and a sender whose
// socket buffer fills waits for the queue instead of losing datagrams, since the queue
// limit is above the socket buffer.
const std::vector<std::string> PACING = {"tbf", "rate", "10mbit", "burst", "32kb", "limit", "1mb"};

std::string describe(const std::vector<std::string>& argv, const ProcessResult& result) {
    std::string text;
    for (const std::string& argument : argv) {
        text += argument + " ";
    }
    return text + "failed: " + result.err;
}

std::string run_to_end(const std::vector<std::string>& argv) {
    const ProcessResult result = run_process(argv, std::chrono::seconds(10));
    return result.exit_status == 0 ? std::string() : describe(argv, result);
}

}  // namespace

// Namespaces left by a test process that died before its destructors ran. Its pid may
// belong to another pid namespace, so only namespaces older than any test are taken.
void remove_stale_namespaces(const std::string& ip, const std::string& prefix) {
    constexpr time_t STALE_SECONDS = 900;
    std::istringstream list(run_process({ip, "netns", "list"}, std::chrono::seconds(10)).out);
    std::string line;
    while (std::getline(list, line)) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        const long pid = strtol(name.c_str() + prefix.size(), nullptr, 10);
        struct stat made {};
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH &&
            stat(("/run/netns/" + name).c_str(), &made) == 0 &&
            time(nullptr) - made.st_mtime > STALE_SECONDS) {
            run_to_end({ip, "netns", "del", name});
        }
    }
}

std::string find_program(const std::string& name) {
    const char* path = getenv("PATH");
    std::istringstream list(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin:/usr/bin");
    std::string folder;
    while (std::getline(list, folder, ':')) {
        if (!folder.empty() && access((folder + '/').append(name).c_str(), X_OK) == 0) {
            return folder.append("/").append(name);
        }
    }
    return "";
}

NetnsPair::NetnsPair() {
    failure_ = set_up();
}

std::string NetnsPair::set_up() {
    if (geteuid() != 0) {
        return "network namespaces need root";
    }
    ip_ = find_program("ip");
    const std::string tc = find_program("tc");
    nice_ = find_program("nice");
    if (ip_.empty() || tc.empty()) {
        return "network namespaces need ip and tc (iproute2)";
    }
    remove_stale_namespaces(ip_, PREFIX);

    // A test process in another pid namespace may have the same pid: on a clash the next
    // serial number is tried.
    static std::atomic<int> serial{0};
    const int pid = getpid();
    std::string error;
    for (int attempt = 0; attempt < 10 && !created_[1]; ++attempt) {
        const int number = serial.fetch_add(1);
        const std::string stem = PREFIX + std::to_string(pid) + "x" + std::to_string(number);
        char prefix[64];
        snprintf(prefix, sizeof prefix, "fd00:%x:%x:%x::", (pid >> 16) & 0xffff, pid & 0xffff,
                 number & 0xffff);
        client_ = {stem + "c", stem + "c", std::string(prefix) + "1"};
        server_ = {stem + "s", stem + "s", std::string(prefix) + "2"};
        error = run_to_end({ip_, "netns", "add", client_.name});
        if (!error.empty()) {
            continue;
        }
        error = run_to_end({ip_, "netns", "add", server_.name});
        if (!error.empty()) {
            run_to_end({ip_, "netns", "del", client_.name});
            continue;
        }
        created_[0] = created_[1] = true;
    }
    if (!created_[1]) {
        return error;
    }
    const NetnsHost* hosts[2] = {&client_, &server_};
    error = run_to_end({ip_, "link", "add", client_.device, "netns", client_.name, "type", "veth",
                        "peer", "name", server_.device, "netns", server_.name});
    if (!error.empty()) {
        return error;
    }
    for (const NetnsHost* host : hosts) {
        std::vector<std::string> pace = {tc,    "-n",  host->name,   "qdisc",
                                         "add", "dev", host->device, "root"};
        pace.insert(pace.end(), PACING.begin(), PACING.end());
        const std::vector<std::vector<std::string>> steps = {
            {ip_, "-n", host->name, "link", "set", "lo", "up"},
            {ip_, "-n", host->name, "addr", "add", host->address + "/64", "dev", host->device,
             "nodad"},
            pace,
            {ip_, "-n", host->name, "link", "set", host->device, "up"},
        };
        for (const std::vector<std::string>& step : steps) {
            error = run_to_end(step);
            if (!error.empty()) {
                return error;
            }
        }
    }
    // Until both ends have carrier the first packets would be lost.
    for (int attempt = 0; attempt < 100; ++attempt) {
        bool up = true;
        for (const NetnsHost* host : hosts) {
            const ProcessResult shown =
                run_process({ip_, "-n", host->name, "-o", "link", "show", "dev", host->device},
                            std::chrono::seconds(10));
            up = up && shown.out.find("LOWER_UP") != std::string::npos;
        }
        if (up) {
            return "";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "the veth pair never came up";
}

NetnsPair::~NetnsPair() {
    // Deleting a namespace also deletes its end of the veth, and with it the other end.
    const NetnsHost* hosts[2] = {&client_, &server_};
    for (int i = 0; i < 2; ++i) {
        if (created_[i]) {
            run_to_end({ip_, "netns", "del", hosts[i]->name});
        }
    }
}

std::vector<std::string> command_in(const std::string& ip, const std::string& nice,
                                    const NetnsHost& host, const std::vector<std::string>& argv) {
    std::vector<std::string> full = {ip, "netns", "exec", host.name};
    if (!nice.empty()) {
        full.insert(full.end(), {nice, "-n", "-10"});
    }
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

std::vector<std::string> NetnsPair::command(const NetnsHost& host,
                                            const std::vector<std::string>& argv) const {
    return command_in(ip_, nice_, host, argv);
}

std::string NetnsPair::run(const NetnsHost& host, const std::vector<std::string>& argv) const {
    return run_to_end(command(host, argv));
}

Socket open_socket_in(const std::string& name, int type) {
    // A socket keeps the namespace it was made in; only this short-lived thread moves.
    int made = -1;
    std::thread maker([&] {
        const int handle = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (handle >= 0 && setns(handle, CLONE_NEWNET) == 0) {
            made = socket(AF_INET6, type, 0);
        }
        if (handle >= 0) {
            close(handle);
        }
    });
    maker.join();
    return Socket(made);
}

Socket NetnsPair::open_socket(const NetnsHost& host, int type) const {
    return open_socket_in(host.name, type);
}
