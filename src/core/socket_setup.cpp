#include "core/socket_setup.h"

#include <netinet/tcp.h>
#include <unistd.h>

#include <cstdio>

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

void set_socket_buffers(int socket) {
    constexpr int size = SOCKET_BUFFER_SIZE;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
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

Socket open_bound_socket(int type, int port, bool no_delay, SocketNames names) {
    Socket socket_owner(socket(AF_INET6, type, 0));
    if (!socket_owner.is_open()) {
        perror(names.socket_call);
        return socket_owner;
    }
    set_socket_buffers(socket_owner.fd());
    if (no_delay) {
        set_no_delay(socket_owner.fd());
    }
    const sockaddr_in6 local = make_socket_address(run_config.local_address, port);
    if (bind(socket_owner.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        perror(names.bind_call);
        return Socket();
    }
    return socket_owner;
}

Socket open_listening_socket(int port, bool no_delay, SocketNames names) {
    Socket listener = open_bound_socket(SOCK_STREAM, port, no_delay, names);
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
