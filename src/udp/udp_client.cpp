#include <arpa/inet.h>

#include <cmath>
#include <cstdio>

#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/phase_timer.h"
#include "core/phase_watch.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/run_record.h"
#include "core/size_walk.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"
#include "udp/datagram_phase.h"
#include "udp/udp_roles.h"

namespace {

// Share of sent datagrams that did not arrive, truncated; negative when more arrived.
int64_t loss_percent(int64_t sent, int64_t arrived) {
    return sent == 0 ? 0 : ((sent - arrived) * 100) / sent;
}

// Measures one block size, sending then receiving datagrams, on one result line. False
// when a record exchange failed and the run must end.
bool measure_size(int control, unsigned char* buffer, const sockaddr_in6& server, int32_t size,
                  Segmentation& segmentation) {
    PhaseTimer timer;
    SizeRecord& size_record = record_size(size);
    ResultLine line;
    fprintf(line.out(), "Packet size %s bytes: ", make_size_label(size));
    fflush(line.out());
    ControlMessage record = make_control_message(CMD_TO_SERVER, static_cast<uint32_t>(size));
    // The server times the phase from the announcement's arrival, not from its echo.
    SendPacer pacer = datagram_pacer(size);
    if (send_message(control, record) != 0 || recv_message(control, record) != 0) {
        return false;
    }
    PhaseProgress sending;
    PhaseWatch tx_watch(size, true, &sending, udp_socket, false);
    start_alarm(run_config.phase_seconds);
    timer_start(timer);
    buffer[0] = 0;
    const DatagramPhase sent =
        send_datagram_phase(buffer, size, server, false, sending, pacer, segmentation);
    const int64_t send_ticks = timer_stop(timer);
    tx_watch.end(sent.bytes, sent.datagrams);
    if (send_ticks == FAILED_TICKS) {
        fputs(" (failed)", line.out());
    }
    // The value field still holds the echo: only the command changes.
    record.command = htonl(CMD_COUNT);
    if (send_message(control, record) != 0 || recv_message(control, record) != 0) {
        return false;
    }
    const uint32_t arrived = message_value(record);
    const int64_t kept_ticks = tx_watch.kept(0, send_ticks).ticks;
    int64_t arrived_kept = arrived;
    if (tx_watch.omitted() && sent.datagrams > 0) {
        // The server counts the whole phase: the start left out is taken to have arrived in
        // the same share as the rest.
        const int64_t sent_kept = sent.datagrams - tx_watch.omitted()->datagrams;
        arrived_kept = std::llround(static_cast<double>(arrived) * static_cast<double>(sent_kept) /
                                    static_cast<double>(sent.datagrams));
    }
    size_record.tx =
        measured_phase(arrived_kept * size, kept_ticks, loss_percent(sent.datagrams, arrived));
    size_record.tx.figures = tx_watch.finish();
    size_record.tx.datagrams = sent.datagrams;
    size_record.tx.segmentation = sent.segmented;
    if (send_ticks != FAILED_TICKS) {
        print_rate(line.out(), size_record.tx.bytes, kept_ticks);
    }
    fprintf(line.out(), " (%ld%%) Tx, ", static_cast<long>(size_record.tx.loss_percent));
    fflush(line.out());

    // Reset before asking: the server's first datagrams can arrive before this thread runs
    // again, and a later reset would wipe them and show them as lost.
    reset_udp_counters(size);
    if (send_message(control, make_control_message(CMD_TO_CLIENT, static_cast<uint32_t>(size))) !=
        0) {
        return false;
    }
    PhaseWatch rx_watch(size, false, &udp_counters, udp_socket, false);
    timer_start(timer);
    if (recv_message_after_phase(control, record) != 0) {
        return false;
    }
    const uint32_t server_sent = message_value(record);
    const int64_t receive_ticks = timer_stop(timer);
    count_waiting_datagrams();
    const int64_t received_bytes = udp_counters.bytes.load();
    const int64_t received_datagrams = udp_counters.datagrams.load();
    rx_watch.end(received_bytes, received_datagrams);
    const KeptPart received_kept = rx_watch.kept(received_bytes, receive_ticks);
    print_phase_rate(line.out(), received_kept.bytes, received_kept.ticks, " (failed)");
    size_record.rx = measured_phase(received_kept.bytes, received_kept.ticks,
                                    loss_percent(server_sent, received_datagrams));
    size_record.rx.figures = rx_watch.finish();
    size_record.rx.figures.order = read_datagram_order();
    size_record.rx.datagrams = received_datagrams;
    fprintf(line.out(), " (%ld%%) Rx.\n", static_cast<long>(size_record.rx.loss_percent));
    line.release();
    print_client_figures(size_record.tx.figures, size_record.rx.figures);
    return true;
}

}  // namespace

void udp_client() {
    TestBuffer buffer;
    if (!buffer.is_allocated()) {
        return;
    }
    const Socket control =
        open_client_connection(run_config.udp_port, false, {"socket()", "bind(STREAM)"});
    if (!control.is_open()) {
        return;
    }
    puts("\nUDP connection established.");
    run_record.connected = true;
    const sockaddr_in6 server = make_socket_address(run_config.server_address, run_config.udp_port);
    set_udp_peer(&server.sin6_addr);
    Segmentation segmentation{run_config.offload};
    walk_sizes([&](int32_t size) {
        return measure_size(control.fd(), buffer.bytes(), server, size, segmentation);
    });
    send_end_record(control.fd());
    puts("Done.");
}
