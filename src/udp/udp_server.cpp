#include <cstdio>
#include <optional>

#include "core/accept_loop.h"
#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/phase_timer.h"
#include "core/report.h"
#include "core/run_config.h"
#include "core/served_phase_log.h"
#include "core/session_limit.h"
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
                      ServerClock& clock, const SessionLimit& limit) {
    bool client_sending = false;  // between the echo and the count request
    Segmentation segmentation{run_config.offload};
    ServedPhase served;
    served.peer = client;
    // The client's sending phase spans records: from its announcement to the count request.
    std::optional<ResultLine> receiving_line;
    std::optional<PhaseWatch> receiving_watch;
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
            count_waiting_datagrams();
            const int64_t arrived = udp_counters.datagrams.load();
            if (send_message(connection, make_control_message(
                                             CMD_COUNT, static_cast<uint32_t>(arrived))) != 0) {
                return;
            }
            // Before any phase there is no start time to measure from.
            if (clock.started) {
                served.bytes = udp_counters.bytes.load();
                served.ticks = timer_stop(clock.timer);
                const bool watched = receiving_watch.has_value();
                if (watched) {
                    receiving_watch->end(served.bytes, arrived);
                    const KeptPart kept = receiving_watch->kept(served.bytes, served.ticks);
                    served.bytes = kept.bytes;
                    served.ticks = kept.ticks;
                    served.datagrams = arrived;
                    served.figures = receiving_watch->finish();
                    served.figures.order = read_datagram_order();
                    receiving_watch.reset();
                }
                print_phase_rate(receiving_line ? receiving_line->out() : stdout, served.bytes,
                                 served.ticks, "");
                receiving_line.reset();
                if (watched) {
                    report_served_phase(served);
                }
            }
        } else if (command == CMD_TO_CLIENT && fits_test_buffer(size)) {
            const int block = static_cast<int>(size);
            const int phase_seconds = limit.phase_seconds(run_config.phase_seconds);
            SendPacer pacer = datagram_pacer(block, phase_seconds);
            ResultLine line;
            PhaseProgress progress;
            PhaseWatch watch(block, true, &progress, udp_socket, false);
            start_alarm(phase_seconds);
            start_clock(clock);
            fprintf(line.out(), "\nSending to client, packet size %s ... ", make_size_label(block));
            buffer[0] = 0;
            const DatagramPhase sent =
                send_datagram_phase(buffer, block, client, true, progress, pacer, segmentation);
            const auto count = static_cast<uint32_t>(sent.datagrams);
            if (send_message(connection, make_control_message(CMD_COUNT, count)) != 0) {
                return;
            }
            const int64_t ticks = timer_stop(clock.timer);
            watch.end(sent.bytes, sent.datagrams);
            const KeptPart kept = watch.kept(sent.bytes, ticks);
            served.size = block;
            served.bytes = kept.bytes;
            served.ticks = kept.ticks;
            served.datagrams = sent.datagrams;
            served.segmentation = sent.segmented;
            served.figures = watch.finish();
            print_phase_rate(line.out(), kept.bytes, kept.ticks, "");
            line.release();
            report_served_phase(served);
        } else if (command == CMD_TO_SERVER && fits_test_buffer(size)) {
            receiving_watch.reset();
            receiving_line.reset();
            start_clock(clock);
            reset_udp_counters(static_cast<int32_t>(size));
            served.size = static_cast<int32_t>(size);
            served.segmentation.reset();
            receiving_line.emplace();
            receiving_watch.emplace(served.size, false, &udp_counters, udp_socket, false);
            fprintf(receiving_line->out(), "\nReceiving from client, packet size %s ... ",
                    make_size_label(served.size));
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
        const Socket connection = accept_client(listener.fd(), "UDP", "UDP server listening.",
                                                "UDP connection established ... ", client);
        if (!connection.is_open()) {
            return nullptr;
        }
        client.sin6_port = make_socket_address(client.sin6_addr, run_config.udp_port).sin6_port;
        set_udp_peer(&client.sin6_addr);
        {
            const SessionLimit limit(connection.fd(), client, "UDP");
            serve_connection(connection.fd(), buffer.bytes(), client, clock, limit);
        }
        set_udp_peer(nullptr);
        puts("\nDone.");
    }
}
