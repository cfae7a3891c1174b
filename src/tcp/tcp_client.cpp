#include <cstdio>

#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/phase_loops.h"
#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"
#include "tcp/tcp_roles.h"

namespace {

enum class SizeOutcome {
    MEASURED,
    RUN_ENDS,         // a record or the final block failed
    CONNECTION_LOST,  // the server is gone or silent: not even the end record can go out
};

// Measures one block size, sending then receiving, on one result line.
SizeOutcome measure_size(int connection, unsigned char* buffer, int32_t size) {
    PhaseTimer timer;
    printf("Packet size %s bytes: ", make_size_label(size));
    fflush(stdout);
    const uint32_t block = static_cast<uint32_t>(size);
    if (send_message(connection, make_control_message(CMD_TO_SERVER, block)) != 0) {
        return SizeOutcome::RUN_ENDS;
    }
    start_alarm(PHASE_SECONDS);
    timer_start(timer);
    const PhaseResult sent = send_phase(connection, buffer, size);
    print_phase_rate(sent.bytes, timer_stop(timer), " (failed)");
    fputs(" Tx, ", stdout);
    fflush(stdout);
    if (sent.connection_lost) {
        return SizeOutcome::CONNECTION_LOST;
    }
    if (send_final_block(connection, buffer, size) != 0 ||
        send_message(connection, make_control_message(CMD_TO_CLIENT, block)) != 0) {
        return SizeOutcome::RUN_ENDS;
    }
    timer_start(timer);
    const PhaseResult received = receive_phase(connection, buffer, size);
    print_phase_rate(received.bytes, timer_stop(timer), " (failed)");
    puts(" Rx.");
    return received.connection_lost ? SizeOutcome::CONNECTION_LOST : SizeOutcome::MEASURED;
}

}  // namespace

void tcp_client() {
    TestBuffer buffer;
    if (!buffer.is_allocated()) {
        return;
    }
    const Socket connection =
        open_client_connection(run_config.tcp_port, true, {"socket()", "bind()"});
    if (!connection.is_open()) {
        return;
    }
    puts("\nTCP connection established.");
    const SizeList& sizes = run_config.sizes;
    SizeOutcome outcome = SizeOutcome::MEASURED;
    for (int64_t i = 0; i < sizes.count && outcome == SizeOutcome::MEASURED; ++i) {
        outcome = measure_size(connection.fd(), buffer.bytes(), sizes.sizes[i]);
    }
    if (outcome != SizeOutcome::CONNECTION_LOST) {
        send_message(connection.fd(), make_control_message(CMD_END, 0));
    }
    puts("Done.");
}
