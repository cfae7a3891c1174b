#include "udp/datagram_phase.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/phase_alarm.h"
#include "udp/udp_roles.h"

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
