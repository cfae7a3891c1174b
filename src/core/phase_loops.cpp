#include "core/phase_loops.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/socket_setup.h"

namespace {

// Failures that every further transfer on the connection would repeat; a time-out means
// the peer stayed silent for the whole idle limit.
bool connection_gone(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT ||
           error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

PhaseResult send_phase(int socket, unsigned char* buffer, int size) {
    buffer[0] = 0;
    PhaseResult result;
    if (alarm_expired.load(std::memory_order_relaxed) != 0) {
        return result;
    }
    for (;;) {
        int position = 0;
        while (position < size) {
            const ssize_t sent =
                send(socket, buffer + position, static_cast<size_t>(size - position), SEND_FLAGS);
            result.last_result = sent;
            if (sent >= 0) {
                position += static_cast<int>(sent);
                continue;
            }
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            perror("send()");
            if (connection_gone(error)) {
                result.bytes += size;
                result.connection_lost = true;
                return result;
            }
            break;
        }
        result.bytes += size;
        if (alarm_expired.load(std::memory_order_relaxed) != 0) {
            return result;
        }
    }
}

PhaseResult receive_phase(int socket, unsigned char* buffer, int size) {
    PhaseResult result;
    for (;;) {
        int position = 0;
        while (position < size) {
            const ssize_t received =
                recv(socket, buffer + position, static_cast<size_t>(size - position), 0);
            result.last_result = received;
            if (received > 0) {
                position += static_cast<int>(received);
                continue;
            }
            if (received == 0) {
                break;
            }
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            perror("recv()");
            result.bytes += size;
            result.connection_lost = connection_gone(error);
            return result;
        }
        result.bytes += size;
        if (buffer[0] != 0 || result.last_result <= 0) {
            return result;
        }
    }
}

int send_final_block(int socket, unsigned char* buffer, int size) {
    buffer[0] = 1;
    return send_once(socket, buffer, size);
}
