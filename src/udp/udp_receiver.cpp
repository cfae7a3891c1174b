#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/run_config.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"
#include "udp/udp_roles.h"

UdpCounters udp_counters;
int udp_socket = -1;
std::atomic<int> udp_receiver_ready{RECEIVER_STARTING};

namespace {

constexpr useconds_t RECEIVER_POLL_MICROSECONDS = 10000;
constexpr int RECEIVE_BATCH = 64;

}  // namespace

void reset_udp_counters() {
    udp_counters.packets.store(0, std::memory_order_relaxed);
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

    // Every datagram that is waiting, up to a batch, in one call. They all land in the
    // one buffer: their content is never looked at.
    iovec area{buffer.bytes(), TEST_BUFFER_SIZE};
    mmsghdr batch[RECEIVE_BATCH]{};
    for (mmsghdr& message : batch) {
        message.msg_hdr.msg_iov = &area;
        message.msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const int received = recvmmsg(udp_socket, batch, RECEIVE_BATCH, MSG_WAITFORONE, nullptr);
        if (received < 0) {
            if (errno != EINTR) {
                perror("recvfrom()");
            }
            continue;
        }
        int64_t packets = 0;
        int64_t bytes = 0;
        for (int i = 0; i < received; ++i) {
            packets += batch[i].msg_len > 0 ? 1 : 0;
            bytes += batch[i].msg_len;
        }
        if (packets > 0) {
            udp_counters.packets.fetch_add(packets, std::memory_order_relaxed);
            udp_counters.bytes.fetch_add(bytes, std::memory_order_relaxed);
        }
    }
}
