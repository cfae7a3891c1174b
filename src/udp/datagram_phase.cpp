#include "udp/datagram_phase.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/phase_alarm.h"
#include "core/send_pacing.h"
#include "core/socket_setup.h"
#include "udp/datagram_batch.h"
#include "udp/datagram_header.h"
#include "udp/udp_roles.h"

int recv_message_after_phase(int control, ControlMessage& message) {
    int64_t arrived = udp_counters.datagrams.load();
    for (;;) {
        pollfd readable{control, POLLIN, 0};
        const int ready = poll(&readable, 1, CONTROL_IDLE_SECONDS * 1000);
        if (ready > 0) {
            return recv_message(control, message);
        }
        if (ready < 0 && errno != EINTR) {
            perror("poll()");
            return -1;
        }
        const int64_t now = udp_counters.datagrams.load();
        if (ready == 0 && now == arrived) {
            errno = EAGAIN;  // reported like any other control connection that fell silent
            perror("recv()");
            return -1;
        }
        arrived = now;
    }
}

namespace {

// Connects udp_socket to the peer for one sending phase. A connected socket keeps its route,
// where every sendto to an address looks it up again: a fifth of the cost of a small
// datagram. Only the peer's datagrams are received meanwhile, which changes no count the
// dialogue reads: each side resets its counters before the other side sends.
class ConnectedForPhase {
   public:
    explicit ConnectedForPhase(const sockaddr_in6& peer)
        : connected_(connect_udp_socket(reinterpret_cast<const sockaddr*>(&peer), sizeof peer) ==
                     0) {}
    ConnectedForPhase(const ConnectedForPhase&) = delete;
    ConnectedForPhase& operator=(const ConnectedForPhase&) = delete;
    ~ConnectedForPhase() {
        if (connected_) {
            sockaddr unspecified{};
            unspecified.sa_family = AF_UNSPEC;
            connect_udp_socket(&unspecified, sizeof unspecified);
        }
    }

    bool connected() const { return connected_; }

   private:
    bool connected_;
};

// What became of a send: it went out, it was given up after a report, or no datagram of this
// size can go at all; a batch may also be refused by the kernel as a batch.
enum class SendOutcome { SENT, GIVEN_UP, TOO_LARGE, REFUSED };

SendOutcome send_one(const unsigned char* block, int size, const sockaddr* address,
                     socklen_t address_length, bool retry_no_buffers) {
    int position = 0;
    while (position < size) {
        const ssize_t sent =
            sendto(udp_socket, block + position, static_cast<size_t>(size - position), 0, address,
                   address_length);
        if (sent >= 0) {
            position += static_cast<int>(sent);
            continue;
        }
        const int error = errno;
        if (error == EINTR || (error == ENOBUFS && retry_no_buffers)) {
            continue;
        }
        perror("sendto()");
        // Too large for a datagram: every further block would fail the same way.
        return error == EMSGSIZE ? SendOutcome::TOO_LARGE : SendOutcome::GIVEN_UP;
    }
    return SendOutcome::SENT;
}

// A batch goes out whole or not at all: a failure cannot say which of its datagrams failed.
SendOutcome send_many(const unsigned char* first, int size, int count, bool retry_no_buffers) {
    for (;;) {
        if (send_batch(udp_socket, first, size, count) >= 0) {
            return SendOutcome::SENT;
        }
        const int error = errno;
        if (error == EINTR || (error == ENOBUFS && retry_no_buffers)) {
            continue;
        }
        if (segmentation_refused(error)) {
            fprintf(stderr,
                    "sendmsg(): %s: the kernel does not segment these datagrams; sending one "
                    "per call from now on.\n",
                    strerror(error));
            return SendOutcome::REFUSED;
        }
        perror("sendmsg()");
        return SendOutcome::GIVEN_UP;
    }
}

// Copies of the first block after it, so that a batch is count blocks back to back.
void lay_out_batch(unsigned char* buffer, int size, int count) {
    for (int i = 1; i < count; ++i) {
        memcpy(buffer + static_cast<ptrdiff_t>(i) * size, buffer, static_cast<size_t>(size));
    }
}

}  // namespace

DatagramPhase send_datagram_phase(unsigned char* buffer, int size, const sockaddr_in6& destination,
                                  bool retry_no_buffers, PhaseProgress& progress, SendPacer& pacer,
                                  Segmentation& segmentation) {
    DatagramPhase phase;
    if (alarm_expired.load(std::memory_order_relaxed) != 0) {
        return phase;
    }
    const ConnectedForPhase route(destination);
    // Without the connection, every datagram names its destination.
    const auto* address =
        route.connected() ? nullptr : reinterpret_cast<const sockaddr*>(&destination);
    const socklen_t address_length = route.connected() ? 0 : sizeof destination;
    const bool numbered = has_room_for_header(size);
    if (numbered) {
        write_datagram_marker(buffer);
    }
    // A batch needs the route the connection holds, and its MTU.
    int capacity =
        segmentation.usable && route.connected()
            ? batch_capacity(size, connected_path_mtu(udp_socket), reached_over_ipv4(destination))
            : 1;
    lay_out_batch(buffer, size, capacity);
    for (;;) {
        int count = capacity;
        if (pacer.paced()) {
            count = pacer.wait_for_blocks(capacity);
            if (alarm_expired.load(std::memory_order_relaxed) != 0) {
                return phase;
            }
            pacer.sent(count);
        }
        if (numbered) {
            // The datagrams of a batch leave together: one clock read for all of them.
            const int64_t now = real_time_nanoseconds();
            for (int i = 0; i < count; ++i) {
                write_datagram_header(buffer + static_cast<ptrdiff_t>(i) * size,
                                      phase.datagrams + i, now);
            }
        }
        SendOutcome outcome =
            count > 1 ? send_many(buffer, size, count, retry_no_buffers)
                      : send_one(buffer, size, address, address_length, retry_no_buffers);
        phase.segmented = phase.segmented || (count > 1 && outcome != SendOutcome::REFUSED);
        if (outcome == SendOutcome::REFUSED) {
            // Once, for the rest of the run: the batch's blocks go one by one instead.
            segmentation.usable = false;
            capacity = 1;
            for (int i = 0; i < count && outcome != SendOutcome::TOO_LARGE; ++i) {
                outcome = send_one(buffer + static_cast<ptrdiff_t>(i) * size, size, address,
                                   address_length, retry_no_buffers);
            }
        }
        phase.datagrams += count;
        phase.bytes += int64_t{count} * size;
        progress.datagrams.store(phase.datagrams, std::memory_order_relaxed);
        progress.bytes.store(phase.bytes, std::memory_order_relaxed);
        if (outcome == SendOutcome::TOO_LARGE ||
            alarm_expired.load(std::memory_order_relaxed) != 0) {
            return phase;
        }
    }
}
