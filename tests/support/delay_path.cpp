#include "support/delay_path.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <sstream>

namespace {

using std::chrono::seconds;

// A sanitized build on a slow machine makes two namespaces and runs six ip commands.
constexpr auto READY_LIMIT = seconds(30);
constexpr auto STOP_LIMIT = seconds(20);

std::string number_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

std::string delay_path_binary() {
    return FLENKO_DELAY_PATH_BINARY;
}

std::string fresh_delay_namespace_stem() {
    static std::atomic<int> serial{0};
    return DELAY_NAMESPACE_PREFIX + std::to_string(getpid()) + "x" +
           std::to_string(serial.fetch_add(1));
}

std::string delay_path_unavailable() {
    if (geteuid() != 0) {
        return "network namespaces need root";
    }
    if (access("/dev/net/tun", R_OK | W_OK) != 0) {
        return "no /dev/net/tun to make TUN devices with";
    }
    if (find_program("ip").empty()) {
        return "network namespaces need ip (iproute2)";
    }
    return "";
}

DelayPath::DelayPath(const DelayPathShape& shape) {
    failure_ = set_up(shape);
}

std::string DelayPath::set_up(const DelayPathShape& shape) {
    const std::string unavailable = delay_path_unavailable();
    if (!unavailable.empty()) {
        return unavailable;
    }
    ip_ = find_program("ip");
    nice_ = find_program("nice");
    remove_stale_namespaces(ip_, DELAY_NAMESPACE_PREFIX);

    // A test process in another pid namespace may have the same pid and names: on a clash
    // the next serial number is tried.
    std::string error;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string stem = fresh_delay_namespace_stem();
        client_ = {stem + "c", "dp0", "fd00:de1a::1"};
        server_ = {stem + "s", "dp0", "fd00:de1a::2"};
        std::vector<std::string> argv;
        if (!nice_.empty()) {
            // The forwarder carries every packet: it must not starve behind the hosts'
            // programs, which run at this priority too.
            argv = {nice_, "-n", "-10"};
        }
        argv.insert(argv.end(),
                    {delay_path_binary(), "--client", client_.name, "--server", server_.name,
                     "--rtt-ms", number_text(shape.rtt_ms), "--exit-with-parent"});
        if (shape.rate_mbit > 0) {
            argv.insert(argv.end(), {"--rate-mbit", number_text(shape.rate_mbit)});
        }
        if (shape.queue_kbytes > 0) {
            argv.insert(argv.end(), {"--queue-kbytes", number_text(shape.queue_kbytes)});
        }
        forwarder_.emplace(argv);
        if (forwarder_->wait_for_output("ready\n", READY_LIMIT)) {
            return "";
        }
        forwarder_->send_signal(SIGINT);
        const ProcessResult ended = forwarder_->finish(STOP_LIMIT);
        forwarder_.reset();
        error = "flenko_delay_path did not come up: " + ended.err;
        if (ended.err.find("File exists") == std::string::npos) {
            break;
        }
    }
    return error;
}

DelayPath::~DelayPath() {
    stop();
}

std::vector<std::string> DelayPath::command(const NetnsHost& host,
                                            const std::vector<std::string>& argv) const {
    return command_in(ip_, nice_, host, argv);
}

Socket DelayPath::open_socket(const NetnsHost& host, int type) const {
    return open_socket_in(host.name, type);
}

ProcessResult DelayPath::stop() {
    if (forwarder_ && !ended_) {
        forwarder_->send_signal(SIGINT);
        ended_ = forwarder_->finish(STOP_LIMIT);
    }
    return ended_.value_or(ProcessResult{});
}
