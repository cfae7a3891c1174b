#include <cstdio>

#include "core/accept_loop.h"
#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/phase_loops.h"
#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/test_buffer.h"
#include "tcp/tcp_roles.h"

namespace {

// Runs the phases the client asks for until it ends the connection or a record fails.
void serve_connection(int connection, unsigned char* buffer) {
    PhaseTimer timer;
    for (;;) {
        ControlMessage message;
        if (recv_message(connection, message) != 0) {
            return;
        }
        const uint32_t command = message_command(message);
        const uint32_t size = message_value(message);
        if ((command != CMD_TO_CLIENT && command != CMD_TO_SERVER) || !fits_test_buffer(size)) {
            return;
        }
        const int block = static_cast<int>(size);
        if (command == CMD_TO_CLIENT) {
            start_alarm(run_config.phase_seconds);
            timer_start(timer);
            printf("\nSending to client, packet size %s ... ", make_size_label(block));
            const PhaseResult sent = send_phase(connection, buffer, block);
            if (sent.connection_lost || send_final_block(connection, buffer, block) != 0) {
                return;
            }
            print_phase_rate(sent.bytes, timer_stop(timer), "");
        } else {
            timer_start(timer);
            printf("\nReceiving from client, packet size %s ... ", make_size_label(block));
            const PhaseResult received = receive_phase(connection, buffer, block);
            print_phase_rate(received.bytes, timer_stop(timer), "");
            if (received.connection_lost) {
                return;
            }
        }
    }
}

}  // namespace

void* tcp_server(void* /*unused*/) {
    TestBuffer buffer;
    if (!buffer.is_allocated()) {
        return nullptr;
    }
    const Socket listener =
        open_listening_socket(run_config.tcp_port, true, {"socket()", "bind()"});
    if (!listener.is_open()) {
        return nullptr;
    }
    for (;;) {
        sockaddr_in6 peer{};
        const Socket connection = accept_client(listener.fd(), "TCP server listening.",
                                                "TCP connection established ... ", peer);
        if (!connection.is_open()) {
            return nullptr;
        }
        serve_connection(connection.fd(), buffer.bytes());
        puts("\nDone.");
    }
}
