// The 8-byte control record and its one-call transfers.
#pragma once

#include <cstdint>

enum ControlCommand : uint32_t {
    CMD_END = 0,
    CMD_TO_SERVER = 1,
    CMD_TO_CLIENT = 2,
    CMD_COUNT = 3,
};

// Both fields are kept in network byte order, exactly as they travel.
struct ControlMessage {
    uint32_t command;
    uint32_t value;
};
static_assert(sizeof(ControlMessage) == 8);

ControlMessage make_control_message(uint32_t command, uint32_t value);
uint32_t message_command(const ControlMessage& message);
uint32_t message_value(const ControlMessage& message);

// One send/recv call each: -1 on failure (reported), 1 on a short transfer, 0 when whole.
int send_once(int socket, const void* bytes, int length);
int recv_once(int socket, void* bytes, int length);

inline int send_message(int socket, const ControlMessage& message) {
    return send_once(socket, &message, sizeof message);
}
inline int recv_message(int socket, ControlMessage& message) {
    return recv_once(socket, &message, sizeof message);
}

// The client's last record, {CMD_END, 0}: one call that never waits, so a run that ended
// on a stuck server is not held up again; a failure is reported.
void send_end_record(int socket);
