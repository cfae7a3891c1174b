#include "support/peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

in6_addr parse_host(const std::string& host) {
    in6_addr address{};
    if (inet_pton(AF_INET6, host.c_str(), &address) != 1) {
        in_addr v4{};
        inet_pton(AF_INET, host.c_str(), &v4);
        address.s6_addr[10] = 0xff;
        address.s6_addr[11] = 0xff;
        memcpy(&address.s6_addr[12], &v4, sizeof v4);
    }
    return address;
}

}  // namespace

Socket connect_to(const std::string& host, int port) {
    const sockaddr_in6 server = make_socket_address(parse_host(host), port);
    for (int attempt = 0; attempt < 200; ++attempt) {
        Socket socket_owner(socket(AF_INET6, SOCK_STREAM, 0));
        if (connect(socket_owner.fd(), reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
            0) {
            return socket_owner;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Socket();
}

std::vector<unsigned char> record_bytes(uint32_t command, uint32_t value) {
    const uint32_t fields[2] = {htonl(command), htonl(value)};
    const auto* bytes = reinterpret_cast<const unsigned char*>(fields);
    return {bytes, bytes + sizeof fields};
}

bool send_record(int socket, uint32_t command, uint32_t value) {
    return send_bytes(socket, record_bytes(command, value));
}

bool send_bytes(int socket, const std::vector<unsigned char>& bytes) {
    return send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

bool read_record(int socket, uint32_t& command, uint32_t& value) {
    uint32_t record[2];
    if (recv(socket, record, sizeof record, MSG_WAITALL) != sizeof record) {
        return false;
    }
    command = ntohl(record[0]);
    value = ntohl(record[1]);
    return true;
}

bool drain_until_closed(int socket, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char chunk[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{socket, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        if (recv(socket, chunk, sizeof chunk, 0) <= 0) {
            return true;
        }
    }
}

void reset_connection(Socket& socket) {
    const linger abort_on_close{1, 0};
    setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    socket = Socket();
}
