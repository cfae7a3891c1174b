#include "udp/datagram_phase.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/phase_alarm.h"
#include "core/socket_setup.h"
#include "udp/udp_roles.h"

int recv_message_after_phase(int control, ControlMessage& message) {
    int64_t arrived = udp_counters.packets.load();
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
        const int64_t now = udp_counters.packets.load();
        if (ready == 0 && now == arrived) {
            errno = EAGAIN;  // reported like any other control connection that fell silent
            perror("recv()");
            return -1;
        }
        arrived = now;
    }
}

DatagramPhase send_datagram_phase(const unsigned char* buffer, int size,
                                  const sockaddr_in6& destination, bool retry_no_buffers) {
    DatagramPhase phase;
    if (alarm_expired.load(std::memory_order_relaxed) != 0) {
        return phase;
    }
    const auto* address = reinterpret_cast<const sockaddr*>(&destination);
    for (;;) {
        int position = 0;
        while (position < size) {
            const ssize_t sent =
                sendto(udp_socket, buffer + position, static_cast<size_t>(size - position), 0,
                       address, sizeof destination);
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
        if (alarm_expired.load(std::memory_order_relaxed) != 0) {
            return phase;
        }
    }
}
