#include <poll.h>
#include <sys/socket.h>
#if __has_include(<linux/sock_diag.h>)
#include <linux/sock_diag.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "core/receive_nap.h"
#include "core/run_config.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"
#include "udp/datagram_header.h"
#include "udp/datagram_order.h"
#include "udp/udp_roles.h"

PhaseProgress udp_counters;
int udp_socket = -1;
std::atomic<int> udp_receiver_ready{RECEIVER_STARTING};

namespace {

constexpr useconds_t RECEIVER_POLL_MICROSECONDS = 10000;
constexpr int RECEIVE_BATCH = 64;

// True while the datagrams waiting on socket hold under an eighth of its receive buffer;
// false where the system does not tell.
bool receive_buffer_mostly_free(int socket) {
#if defined(SO_MEMINFO) && defined(SK_MEMINFO_VARS)
    uint32_t memory[SK_MEMINFO_VARS]{};
    socklen_t length = sizeof memory;
    return getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &length) == 0 &&
           memory[SK_MEMINFO_RMEM_ALLOC] < memory[SK_MEMINFO_RCVBUF] / 8;
#else
    (void)socket;
    return false;
#endif
}

// Every datagram that is waiting, up to a batch, in one call. Each one's first bytes land
// in a header area of its own, where its sequence number and send time are read; the
// rest of them all land in the one buffer, never looked at.
struct ReceiveBatch {
    struct Message {
        sockaddr_in6 source;
        unsigned char header[DATAGRAM_HEADER_SIZE];
        iovec parts[2];
        // Room for the kernel's receive time.
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec))];
    };
    Message held[RECEIVE_BATCH]{};
    mmsghdr messages[RECEIVE_BATCH]{};

    explicit ReceiveBatch(unsigned char* buffer) {
        for (int i = 0; i < RECEIVE_BATCH; ++i) {
            Message& message = held[i];
            message.parts[0] = {message.header, DATAGRAM_HEADER_SIZE};
            message.parts[1] = {buffer, TEST_BUFFER_SIZE};
            messages[i].msg_hdr.msg_name = &message.source;
            messages[i].msg_hdr.msg_iov = message.parts;
            messages[i].msg_hdr.msg_iovlen = 2;
            messages[i].msg_hdr.msg_control = message.control;
        }
    }
};

// The time the kernel took the datagram in, where it says; else when the batch was taken.
int64_t receive_time(const msghdr& message, int64_t batch_time) {
#ifdef SO_TIMESTAMPNS
    for (const cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
         part = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(part))) {
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_TIMESTAMPNS &&
            part->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
            return int64_t{stamp.tv_sec} * 1000000000 + stamp.tv_nsec;
        }
    }
#endif
    return batch_time;
}

// Held by whoever takes datagrams from udp_socket until they are counted, and by whoever
// connects it to another peer or resets the counts. The receiver takes it per batch, never
// while it waits.
std::mutex udp_socket_use;
// What the numbered datagrams of the current phase tell; under udp_socket_use.
DatagramOrder udp_order;
// Whose datagrams count: the session peer's address; nobody's between sessions. Its port is
// not compared: a NAT may rewrite the port a client sends from, while its address is the
// control connection's. Under udp_socket_use.
std::optional<in6_addr> udp_peer;

bool from_peer(const msghdr& message, const sockaddr_in6& source) {
    return udp_peer && message.msg_namelen == sizeof source && source.sin6_family == AF_INET6 &&
           memcmp(&source.sin6_addr, &*udp_peer, sizeof source.sin6_addr) == 0;
}

// Receives what is waiting, up to a batch, without waiting, and counts it. Returns what
// recvmmsg returns.
int receive_batch(ReceiveBatch& batch) {
    for (mmsghdr& message : batch.messages) {
        message.msg_hdr.msg_namelen = sizeof(sockaddr_in6);
        message.msg_hdr.msg_controllen = sizeof ReceiveBatch::Message::control;
    }
    const int received = recvmmsg(udp_socket, batch.messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
    int64_t packets = 0;
    int64_t bytes = 0;
    int64_t batch_time = 0;
    for (int i = 0; i < received; ++i) {
        // Another host's datagrams (or a stale sender's) would make the counts and the loss
        // plainly wrong, even negative.
        if (!from_peer(batch.messages[i].msg_hdr, batch.held[i].source)) {
            continue;
        }
        const unsigned length = batch.messages[i].msg_len;
        packets += length > 0 ? 1 : 0;
        bytes += length;
        const std::optional<DatagramHeader> header =
            read_datagram_header(batch.held[i].header, length);
        if (header) {
            if (batch_time == 0) {
                batch_time = real_time_nanoseconds();
            }
            udp_order.arrived(header->sequence, header->sent_nanoseconds,
                              receive_time(batch.messages[i].msg_hdr, batch_time));
        }
    }
    if (packets > 0) {
        udp_counters.datagrams.fetch_add(packets, std::memory_order_relaxed);
        udp_counters.bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
    return received;
}

}  // namespace

void reset_udp_counters() {
    const std::lock_guard hold(udp_socket_use);
    udp_counters.datagrams.store(0, std::memory_order_relaxed);
    udp_counters.bytes.store(0, std::memory_order_relaxed);
    udp_order.reset();
}

void set_udp_peer(const in6_addr* peer) {
    const std::lock_guard hold(udp_socket_use);
    udp_peer.reset();
    if (peer != nullptr) {
        udp_peer = *peer;
    }
}

DatagramOrderFigures read_datagram_order() {
    const std::lock_guard hold(udp_socket_use);
    return udp_order.figures();
}

bool wait_for_udp_receiver() {
    int state = RECEIVER_STARTING;
    while ((state = udp_receiver_ready.load(std::memory_order_acquire)) == RECEIVER_STARTING) {
        usleep(RECEIVER_POLL_MICROSECONDS);
    }
    return state == RECEIVER_READY;
}

void* udp_receiver(void* /*unused*/) {
    TestBuffer buffer;
    if (!buffer.is_allocated()) {
        udp_receiver_ready.store(RECEIVER_FAILED, std::memory_order_release);
        return nullptr;
    }
    const Socket socket_owner =
        open_bound_socket(SOCK_DGRAM, run_config.udp_port, false, {"socket(DGRAM)", "bind(DGRAM)"});
    if (!socket_owner.is_open()) {
        udp_receiver_ready.store(RECEIVER_FAILED, std::memory_order_release);
        return nullptr;
    }
    udp_socket = socket_owner.fd();
#ifdef SO_TIMESTAMPNS
    // Jitter from when datagrams reached the host, not from when this thread woke.
    const int on = 1;
    setsockopt(udp_socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#endif
    udp_receiver_ready.store(RECEIVER_READY, std::memory_order_release);

    tighten_timer_slack();

    // While datagrams keep coming, nap instead of waiting on the socket (see receive_nap.h).
    // Wait on the socket again when a nap brought nothing, or filled so much of the receive
    // buffer that a longer nap might overflow it.
    ReceiveBatch batch(buffer.bytes());
    bool napping = false;
    for (;;) {
        bool nap_again = true;
        if (napping) {
            receive_nap();
            nap_again = receive_buffer_mostly_free(udp_socket);
        } else {
            // Waits without taking anything, so that nothing is taken outside udp_socket_use.
            pollfd readable{udp_socket, POLLIN, 0};
            if (poll(&readable, 1, -1) < 0) {
                continue;
            }
        }
        int received = 0;
        int error = 0;
        {
            const std::lock_guard hold(udp_socket_use);
            received = receive_batch(batch);
            error = errno;
        }
        if (received < 0) {
            if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
                errno = error;
                perror("recvfrom()");
            }
            napping = false;
            continue;
        }
        // One datagram after a wake-up: they come slower than this thread wakes, and a nap
        // would only add a wake-up of its own. A full batch leaves more waiting: take it at
        // once.
        napping = received < RECEIVE_BATCH && nap_again && (napping || received > 1);
    }
}

void count_waiting_datagrams(unsigned char* buffer) {
    // Taking the socket also waits until a batch the receiver holds has been counted.
    const std::lock_guard hold(udp_socket_use);
    ReceiveBatch batch(buffer);
    while (receive_batch(batch) == RECEIVE_BATCH) {
    }
}

int connect_udp_socket(const sockaddr* address, socklen_t length) {
    // The receiver stays off the socket while its peer changes: the kernel would not mind,
    // but the ordering is then plain to see, for readers and for ThreadSanitizer alike.
    const std::lock_guard hold(udp_socket_use);
    return connect(udp_socket, address, length);
}
