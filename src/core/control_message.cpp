#include "core/control_message.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>

#include "core/socket_setup.h"

ControlMessage make_control_message(uint32_t command, uint32_t value) {
    return ControlMessage{htonl(command), htonl(value)};
}

uint32_t message_command(const ControlMessage& message) {
    return ntohl(message.command);
}

uint32_t message_value(const ControlMessage& message) {
    return ntohl(message.value);
}

int send_once(int socket, const void* bytes, int length) {
    const ssize_t result = send(socket, bytes, static_cast<size_t>(length), SEND_FLAGS);
    if (result < 0) {
        perror("send()");
        return -1;
    }
    return (result & 0x7fffffff) == length ? 0 : 1;
}

void send_end_record(int socket) {
    const ControlMessage end = make_control_message(CMD_END, 0);
    if (send(socket, &end, sizeof end, SEND_FLAGS | MSG_DONTWAIT) < 0) {
        perror("send()");
    }
}

int recv_once(int socket, void* bytes, int length) {
    const ssize_t result = recv(socket, bytes, static_cast<size_t>(length), 0);
    if (result < 0) {
        perror("recv()");
        return -1;
    }
    return result == length ? 0 : 1;
}
