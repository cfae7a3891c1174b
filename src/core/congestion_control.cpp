#include "core/congestion_control.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "core/run_config.h"
#include "core/socket_setup.h"

#if defined(TCP_CONGESTION)

namespace {

constexpr const char* AVAILABLE_LIST = "/proc/sys/net/ipv4/tcp_available_congestion_control";
constexpr const char* ALLOWED_LIST = "/proc/sys/net/ipv4/tcp_allowed_congestion_control";

std::string first_line_of(const char* path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

}  // namespace

std::string congestion_control_problem() {
    const char* const name = run_config.congestion;
    if (name[0] == '\0') {
        return "";
    }
    // The kernel itself is asked, on a socket that is never connected.
    const Socket probe(socket(AF_INET6, SOCK_STREAM, 0));
    if (!probe.is_open()) {
        return std::string("socket(): ") + strerror(errno);
    }
    if (setsockopt(probe.fd(), IPPROTO_TCP, TCP_CONGESTION, name, strlen(name)) == 0) {
        return "";
    }
    const int error = errno;
    if (error == EPERM) {
        return std::string("--congestion: ") + name +
               " is not allowed to this user; allowed: " + first_line_of(ALLOWED_LIST);
    }
    return std::string("--congestion: this system does not offer ") + name +
           "; it offers: " + first_line_of(AVAILABLE_LIST);
}

void set_congestion_control(int socket) {
    const char* const name = run_config.congestion;
    if (name[0] != '\0') {
        setsockopt(socket, IPPROTO_TCP, TCP_CONGESTION, name, strlen(name));
    }
}

std::optional<std::string> read_congestion_control(int socket) {
    char name[CONGESTION_NAME_SIZE] = "";
    socklen_t length = sizeof name;
    if (getsockopt(socket, IPPROTO_TCP, TCP_CONGESTION, name, &length) != 0) {
        return std::nullopt;
    }
    return std::string(name, strnlen(name, length));
}

#else

std::string congestion_control_problem() {
    return run_config.congestion[0] == '\0'
               ? ""
               : "--congestion: this system cannot choose TCP's congestion control";
}

void set_congestion_control(int /*socket*/) {}

std::optional<std::string> read_congestion_control(int /*socket*/) {
    return std::nullopt;
}

#endif
