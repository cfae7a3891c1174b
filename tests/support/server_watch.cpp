#include "support/server_watch.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "core/socket_setup.h"
#include "support/tcp_transcript.h"

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

size_t occurrences(std::string_view text, std::string_view part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++found;
    }
    return found;
}

// Reads on for a while: the text asked for never comes.
void read_output_for(ChildProcess& child, milliseconds time) {
    child.wait_for_output("\x01", time);
}

}  // namespace

int open_descriptors(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd", error);
    if (error) {
        return -1;
    }
    int count = 0;
    for (auto it = entries; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            return -1;
        }
        ++count;
    }
    return count;
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

bool process_running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    // The state follows the command name, which is in parentheses and may hold spaces.
    const size_t end_of_name = line.rfind(')');
    if (end_of_name == std::string::npos || end_of_name + 2 >= line.size()) {
        return false;
    }
    const char state = line[end_of_name + 2];
    return state != 'Z' && state != 'X';
}

int settled_descriptors(pid_t pid, int expected, milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    int count = open_descriptors(pid);
    while (count != expected && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
        count = open_descriptors(pid);
    }
    return count;
}

void ServedCount::count(const std::string& out) {
    // Whole lines only, so that no text is cut in two. A text that starts with the newline
    // before counted_to was not complete before, so starting there counts nothing twice.
    const size_t end = out.rfind('\n');
    if (end == std::string::npos || end + 1 <= counted_to) {
        return;
    }
    const size_t from = counted_to == 0 ? 0 : counted_to - 1;
    const std::string_view lines = std::string_view(out).substr(from, end + 1 - from);
    tcp_taken += occurrences(lines, "TCP connection established ... ");
    udp_taken += occurrences(lines, "UDP connection established ... ");
    tcp_listening += occurrences(lines, "TCP server listening.\n");
    udp_listening += occurrences(lines, "UDP server listening.\n");
    ended += occurrences(lines, "\nDone.\n");
    counted_to = end + 1;
}

testing::AssertionResult WaitsIdle(ChildProcess& server, ServedCount& count, size_t tcp, size_t udp,
                                   milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        count.count(server.out());
        if (count.tcp_taken == tcp && count.udp_taken == udp && count.ended == tcp + udp &&
            count.tcp_listening == tcp + 1 && count.udp_listening == udp + 1) {
            return testing::AssertionSuccess();
        }
        if (steady_clock::now() >= deadline || !process_running(server.pid())) {
            return testing::AssertionFailure()
                   << "expected " << tcp << " TCP and " << udp << " UDP connections ended; "
                   << "taken " << count.tcp_taken << " TCP, " << count.udp_taken << " UDP, ended "
                   << count.ended << ", listening lines " << count.tcp_listening << " TCP, "
                   << count.udp_listening << " UDP; running " << process_running(server.pid())
                   << "; output ends:\n"
                   << server.out().substr(server.out().size() -
                                          std::min<size_t>(server.out().size(), 400))
                   << "\nerrors end:\n"
                   << server.err().substr(server.err().size() -
                                          std::min<size_t>(server.err().size(), 400));
        }
        read_output_for(server, milliseconds(5));
    }
}

std::unique_ptr<ChildProcess> start_both_server(int port) {
    auto server = spawn({flenko_short_path(), "-s", "-p", std::to_string(port)});
    if (!server->wait_for_output("TCP server listening.\n", std::chrono::seconds(10)) ||
        !server->wait_for_output("UDP server listening.\n", std::chrono::seconds(10))) {
        ADD_FAILURE() << "server on port " << port << " never listened; stderr: " << server->err();
        return nullptr;
    }
    return server;
}

bool send_datagram(int socket, int port, size_t length) {
    static const std::vector<unsigned char> payload(65536, 0x5a);
    const sockaddr_in6 target = make_socket_address(in6addr_loopback, port);
    return sendto(socket, payload.data(), length, 0, reinterpret_cast<const sockaddr*>(&target),
                  sizeof target) == static_cast<ssize_t>(length);
}
