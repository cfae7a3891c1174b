#include <poll.h>
#include <sys/socket.h>
#if __has_include(<linux/sock_diag.h>)
#include <linux/sock_diag.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "core/receive_nap.h"
#include "core/run_config.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"
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

// Every datagram that is waiting, up to a batch, in one call. They all land in the one
// buffer: their content is never looked at.
struct ReceiveBatch {
    iovec area{};
    mmsghdr messages[RECEIVE_BATCH]{};

    explicit ReceiveBatch(unsigned char* buffer) : area{buffer, TEST_BUFFER_SIZE} {
        for (mmsghdr& message : messages) {
            message.msg_hdr.msg_iov = &area;
            message.msg_hdr.msg_iovlen = 1;
        }
    }
};

// Held by whoever takes datagrams from udp_socket until they are counted, and by whoever
// connects it to another peer. The receiver takes it per batch, never while it waits.
std::mutex udp_socket_use;

// Receives what is waiting, up to a batch, without waiting, and counts it. Returns what
// recvmmsg returns.
int receive_batch(ReceiveBatch& batch) {
    const int received = recvmmsg(udp_socket, batch.messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
    int64_t packets = 0;
    int64_t bytes = 0;
    for (int i = 0; i < received; ++i) {
        packets += batch.messages[i].msg_len > 0 ? 1 : 0;
        bytes += batch.messages[i].msg_len;
    }
    if (packets > 0) {
        udp_counters.datagrams.fetch_add(packets, std::memory_order_relaxed);
        udp_counters.bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
    return received;
}

}  // namespace

void reset_udp_counters() {
    udp_counters.datagrams.store(0, std::memory_order_relaxed);
    udp_counters.bytes.store(0, std::memory_order_relaxed);
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
