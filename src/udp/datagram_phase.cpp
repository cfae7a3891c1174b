#include "udp/datagram_phase.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/phase_alarm.h"
#include "core/send_pacing.h"
#include "core/socket_setup.h"
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

}  // namespace

DatagramPhase send_datagram_phase(unsigned char* buffer, int size, const sockaddr_in6& destination,
                                  bool retry_no_buffers, PhaseProgress& progress,
                                  SendPacer& pacer) {
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
    for (;;) {
        if (pacer.paced()) {
            pacer.wait_for_block();
            if (alarm_expired.load(std::memory_order_relaxed) != 0) {
                return phase;
            }
            pacer.sent();
        }
        if (numbered) {
            write_datagram_header(buffer, phase.datagrams);
        }
        int position = 0;
        while (position < size) {
            const ssize_t sent =
                sendto(udp_socket, buffer + position, static_cast<size_t>(size - position), 0,
                       address, address_length);
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
            if (error == EMSGSIZE) {
                phase.datagrams += 1;
                phase.bytes += size;
                return phase;
            }
            break;
        }
        phase.datagrams += 1;
        phase.bytes += size;
        progress.datagrams.store(phase.datagrams, std::memory_order_relaxed);
        progress.bytes.store(phase.bytes, std::memory_order_relaxed);
        if (alarm_expired.load(std::memory_order_relaxed) != 0) {
            return phase;
        }
    }
}
