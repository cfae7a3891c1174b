#include <cstdio>

#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/phase_loops.h"
#include "core/phase_timer.h"
#include "core/phase_watch.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/run_record.h"
#include "core/size_walk.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"
#include "tcp/tcp_roles.h"

namespace {

// Measures one block size, sending then receiving, on one result line. False when the
// run must end: a record or the final block failed, or the server is gone.
bool measure_size(int connection, unsigned char* buffer, int32_t size) {
    PhaseTimer timer;
    SizeRecord& record = record_size(size);
    ResultLine line;
    fprintf(line.out(), "Packet size %s bytes: ", make_size_label(size));
    fflush(line.out());
    const uint32_t block = static_cast<uint32_t>(size);
    // Paced blocks go out once earned, the final one too, on a schedule that starts as the
    // announcement leaves: the receiver times the phase from its arrival up to that block,
    // and then sees the rate asked for.
    SendPacer pacer(size, 0, run_config.phase_seconds);
    if (send_message(connection, make_control_message(CMD_TO_SERVER, block)) != 0) {
        return false;
    }
    PhaseProgress sending;
    PhaseWatch tx_watch(size, true, &sending, connection, true);
    start_alarm(run_config.phase_seconds);
    timer_start(timer);
    const PhaseResult sent = send_phase(connection, buffer, size, &sending, &pacer);
    const int64_t send_ticks = timer_stop(timer);
    tx_watch.end(sent.bytes, 0);
    const KeptPart sent_kept = tx_watch.kept(sent.bytes, send_ticks);
    record.tx = measured_phase(sent_kept.bytes, sent_kept.ticks);
    print_phase_rate(line.out(), sent_kept.bytes, sent_kept.ticks, " (failed)");
    fputs(" Tx, ", line.out());
    fflush(line.out());
    if (sent.connection_lost) {
        return false;
    }
    pacer.wait_for_final_block();
    if (send_final_block(connection, buffer, size) != 0) {
        return false;
    }
    record.tx.figures = tx_watch.finish();
    if (send_message(connection, make_control_message(CMD_TO_CLIENT, block)) != 0) {
        return false;
    }
    PhaseProgress receiving;
    PhaseWatch rx_watch(size, false, &receiving, connection, true);
    timer_start(timer);
    const PhaseResult received = receive_phase(connection, buffer, size, &receiving);
    const int64_t receive_ticks = timer_stop(timer);
    rx_watch.end(received.bytes, 0);
    const KeptPart received_kept = rx_watch.kept(received.bytes, receive_ticks);
    record.rx = measured_phase(received_kept.bytes, received_kept.ticks);
    record.rx.figures = rx_watch.finish();
    print_phase_rate(line.out(), received_kept.bytes, received_kept.ticks, " (failed)");
    fputs(" Rx.\n", line.out());
    line.release();
    print_client_figures(record.tx.figures, record.rx.figures);
    return !received.connection_lost;
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
    run_record.connected = true;
    walk_sizes([&](int32_t size) { return measure_size(connection.fd(), buffer.bytes(), size); });
    send_end_record(connection.fd());
    puts("Done.");
}
