#include <cstdio>

#include "core/accept_loop.h"
#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/test_buffer.h"
#include "udp/datagram_phase.h"
#include "udp/udp_roles.h"

namespace {

// The phase clock outlives connections: a count request times from the latest phase start.
struct ServerClock {
    PhaseTimer timer;
    bool started = false;
};

void start_clock(ServerClock& clock) {
    timer_start(clock.timer);
    clock.started = true;
}

// Serves the records of one control connection; client is where its datagrams go.
void serve_connection(int connection, unsigned char* buffer, const sockaddr_in6& client,
                      ServerClock& clock) {
    bool client_sending = false;  // between the echo and the count request
    for (;;) {
        ControlMessage message;
        const int received = client_sending ? recv_message_after_phase(connection, message)
                                            : recv_message(connection, message);
        if (received != 0) {
            return;
        }
        client_sending = false;
        const uint32_t command = message_command(message);
        const uint32_t size = message_value(message);
        if (command == CMD_COUNT) {
            count_waiting_datagrams(buffer);
            const auto arrived = static_cast<uint32_t>(udp_counters.packets.load());
            if (send_message(connection, make_control_message(CMD_COUNT, arrived)) != 0) {
                return;
            }
            // Before any phase there is no start time to measure from.
            if (clock.started) {
                print_phase_rate(udp_counters.bytes.load(), timer_stop(clock.timer), "");
            }
        } else if (command == CMD_TO_CLIENT && fits_test_buffer(size)) {
            const int block = static_cast<int>(size);
            start_alarm(run_config.phase_seconds);
            start_clock(clock);
            printf("\nSending to client, packet size %s ... ", make_size_label(block));
            buffer[0] = 0;
            const DatagramPhase sent = send_datagram_phase(buffer, block, client, true);
            const auto count = static_cast<uint32_t>(sent.datagrams);
            if (send_message(connection, make_control_message(CMD_COUNT, count)) != 0) {
                return;
            }
            print_phase_rate(sent.bytes, timer_stop(clock.timer), "");
        } else if (command == CMD_TO_SERVER && fits_test_buffer(size)) {
            start_clock(clock);
            reset_udp_counters();
            printf("\nReceiving from client, packet size %s ... ",
                   make_size_label(static_cast<int32_t>(size)));
            if (send_message(connection, message) != 0) {
                return;
            }
            client_sending = true;
        } else {
            return;
        }
    }
}

}  // namespace

void* udp_server(void* /*unused*/) {
    TestBuffer buffer;
    if (!buffer.is_allocated()) {
        return nullptr;
    }
    const Socket listener =
        open_listening_socket(run_config.udp_port, false, {"socket(STREAM)", "bind(STREAM)"});
    if (!listener.is_open()) {
        return nullptr;
    }
    ServerClock clock;
    for (;;) {
        sockaddr_in6 client{};
        const Socket connection = accept_client(listener.fd(), "UDP server listening.",
                                                "UDP connection established ... ", client);
        if (!connection.is_open()) {
            return nullptr;
        }
        client.sin6_port = make_socket_address(client.sin6_addr, run_config.udp_port).sin6_port;
        serve_connection(connection.fd(), buffer.bytes(), client, clock);
        puts("\nDone.");
    }
}
