#include "core/socket_setup.h"

#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "core/congestion_control.h"
#include "core/run_config.h"

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Socket::~Socket() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

sockaddr_in6 make_socket_address(const in6_addr& address, int port) {
    sockaddr_in6 record{};
    record.sin6_family = AF_INET6;
    record.sin6_port = htons(static_cast<uint16_t>(port & 0xffff));
    record.sin6_addr = address;
    return record;
}

namespace {

std::atomic<bool> buffer_shortfall_told{false};

// Linux reports twice the size it granted.
#if defined(__linux__)
constexpr int REPORTED_PER_GRANTED = 2;
#else
constexpr int REPORTED_PER_GRANTED = 1;
#endif

// Sets one buffer to size: beyond the system's limit where this process may (the FORCE
// options need CAP_NET_ADMIN), else as far as the limit lets it. Gives the size granted.
int set_buffer(int socket, int option, int force_option, int size) {
    if (force_option < 0 || setsockopt(socket, SOL_SOCKET, force_option, &size, sizeof size) != 0) {
        setsockopt(socket, SOL_SOCKET, option, &size, sizeof size);
    }
    int reported = 0;
    socklen_t length = sizeof reported;
    if (getsockopt(socket, SOL_SOCKET, option, &reported, &length) != 0) {
        return size;
    }
    return reported / REPORTED_PER_GRANTED;
}

}  // namespace

void set_socket_buffers(int socket) {
    const int size = run_config.socket_buffer;
    if (size == SOCKET_BUFFER_SIZE) {
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    } else if (size > 0) {
#if defined(SO_RCVBUFFORCE) && defined(SO_SNDBUFFORCE)
        const int granted = std::min(set_buffer(socket, SO_RCVBUF, SO_RCVBUFFORCE, size),
                                     set_buffer(socket, SO_SNDBUF, SO_SNDBUFFORCE, size));
#else
        const int granted = std::min(set_buffer(socket, SO_RCVBUF, -1, size),
                                     set_buffer(socket, SO_SNDBUF, -1, size));
#endif
        if (granted < size && !buffer_shortfall_told.exchange(true)) {
            fprintf(stderr,
                    "--window: the system granted socket buffers of %d bytes, not the %d asked "
                    "(see net.core.rmem_max and wmem_max); going on with them.\n",
                    granted, size);
        }
    }
}

SocketBuffers read_socket_buffers(int socket) {
    SocketBuffers buffers;
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, &length) == 0) {
        buffers.send_bytes = size;
    }
    length = sizeof size;
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0) {
        buffers.receive_bytes = size;
    }
    return buffers;
}

void set_no_delay(int socket) {
    constexpr int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void set_idle_limit(int socket) {
    const timeval limit{CONTROL_IDLE_SECONDS, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

namespace {

Socket open_socket(int type, int port, bool no_delay, bool reuse_address, SocketNames names) {
    Socket socket_owner(socket(AF_INET6, type, 0));
    if (!socket_owner.is_open()) {
        perror(names.socket_call);
        return socket_owner;
    }
    set_socket_buffers(socket_owner.fd());
    if (type == SOCK_STREAM) {
        set_congestion_control(socket_owner.fd());
    }
    if (no_delay) {
        set_no_delay(socket_owner.fd());
    }
    if (reuse_address) {
        constexpr int on = 1;
        setsockopt(socket_owner.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in6 local = make_socket_address(run_config.local_address, port);
    if (bind(socket_owner.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        perror(names.bind_call);
        return Socket();
    }
    return socket_owner;
}

}  // namespace

Socket open_bound_socket(int type, int port, bool no_delay, SocketNames names) {
    return open_socket(type, port, no_delay, false, names);
}

Socket open_listening_socket(int port, bool no_delay, SocketNames names) {
    Socket listener = open_socket(SOCK_STREAM, port, no_delay, true, names);
    if (listener.is_open() && listen(listener.fd(), LISTEN_BACKLOG) < 0) {
        perror("listen()");
        return Socket();
    }
    return listener;
}

Socket open_client_connection(int port, bool no_delay, SocketNames names) {
    Socket connection = open_bound_socket(SOCK_STREAM, 0, no_delay, names);
    if (!connection.is_open()) {
        return connection;
    }
    const sockaddr_in6 server = make_socket_address(run_config.server_address, port);
    if (connect(connection.fd(), reinterpret_cast<const sockaddr*>(&server), sizeof server) < 0) {
        perror("connect()");
        return Socket();
    }
    set_idle_limit(connection.fd());
    return connection;
}
