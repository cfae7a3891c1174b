#include <cstdio>

#include "core/accept_loop.h"
#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/phase_loops.h"
#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/served_phase_log.h"
#include "core/session_limit.h"
#include "core/test_buffer.h"
#include "tcp/tcp_roles.h"

namespace {

// Runs the phases the client asks for until it ends the connection or a record fails.
void serve_connection(int connection, unsigned char* buffer, const sockaddr_in6& peer,
                      const SessionLimit& limit) {
    PhaseTimer timer;
    ServedPhase served;
    served.peer = peer;
    served.tcp = true;
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
        const bool sending = command == CMD_TO_CLIENT;
        ResultLine line;
        PhaseProgress progress;
        PhaseWatch watch(block, sending, &progress, connection, true);
        PhaseResult moved;
        if (sending) {
            const int phase_seconds = limit.phase_seconds(run_config.phase_seconds);
            SendPacer pacer(block, 0, phase_seconds);
            start_alarm(phase_seconds);
            timer_start(timer);
            fprintf(line.out(), "\nSending to client, packet size %s ... ", make_size_label(block));
            moved = send_phase(connection, buffer, block, &progress, &pacer);
            if (moved.connection_lost) {
                return;
            }
            pacer.wait_for_final_block();
            if (send_final_block(connection, buffer, block) != 0) {
                return;
            }
        } else {
            timer_start(timer);
            fprintf(line.out(), "\nReceiving from client, packet size %s ... ",
                    make_size_label(block));
            moved = receive_phase(connection, buffer, block, &progress);
        }
        const int64_t ticks = timer_stop(timer);
        watch.end(moved.bytes, 0);
        const KeptPart kept = watch.kept(moved.bytes, ticks);
        served.figures = watch.finish();
        served.size = block;
        served.bytes = kept.bytes;
        served.ticks = kept.ticks;
        print_phase_rate(line.out(), kept.bytes, kept.ticks, "");
        line.release();
        report_served_phase(served);
        if (moved.connection_lost) {
            return;
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
        const Socket connection = accept_client(listener.fd(), "TCP", "TCP server listening.",
                                                "TCP connection established ... ", peer);
        if (!connection.is_open()) {
            return nullptr;
        }
        {
            const SessionLimit limit(connection.fd(), peer, "TCP");
            serve_connection(connection.fd(), buffer.bytes(), peer, limit);
        }
        puts("\nDone.");
    }
}
