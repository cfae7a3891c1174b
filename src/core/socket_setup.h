// Socket ownership and the set-up every role shares.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <utility>

constexpr int LISTEN_BACKLOG = 2;

#ifndef FLENKO_IDLE_SECONDS
#define FLENKO_IDLE_SECONDS 60
#endif

// Longer than any pause of either dialogue: a control connection on which nothing moves
// for this long has a dead or stuck peer.
constexpr int CONTROL_IDLE_SECONDS = FLENKO_IDLE_SECONDS;

// A peer that vanishes must fail the send, not kill the process with SIGPIPE.
constexpr int SEND_FLAGS = MSG_NOSIGNAL;

// Owns one descriptor and closes it on every exit path.
class Socket {
   public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }

   private:
    int fd_ = -1;
};

// The 28-byte IPv6 address record; the port's low 16 bits go out in network order.
sockaddr_in6 make_socket_address(const in6_addr& address, int port);

// The buffer sizes of run_config.socket_buffer; says once on standard error when the system
// grants smaller ones than asked.
void set_socket_buffers(int socket);

// The sizes in effect, as the system reports them (Linux: twice what was granted, for its
// bookkeeping); empty where it does not say.
struct SocketBuffers {
    std::optional<int64_t> send_bytes;
    std::optional<int64_t> receive_bytes;
};

SocketBuffers read_socket_buffers(int socket);
void set_no_delay(int socket);

// Makes a transfer on a control connection fail once it has waited CONTROL_IDLE_SECONDS.
void set_idle_limit(int socket);

struct SocketNames {
    const char* socket_call;  // perror prefix for socket()
    const char* bind_call;    // perror prefix for bind()
};

// socket() and buffer sizes, then TCP_NODELAY when asked, then bind to the local address.
// Failures are reported and give a closed Socket.
Socket open_bound_socket(int type, int port, bool no_delay, SocketNames names);

// A bound stream socket listening on port, or a closed Socket after a report. It binds even
// while connections of a server that just ended wait out TIME_WAIT; a port that another
// socket listens on stays refused.
Socket open_listening_socket(int port, bool no_delay, SocketNames names);

// A stream socket bound to the local address at port 0 and connected to the server.
Socket open_client_connection(int port, bool no_delay, SocketNames names);
