#include "core/tcp_figures.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "core/figure_fields.h"

namespace {

constexpr double MICROSECONDS_PER_MILLISECOND = 1000.0;
// Long enough for a few retransmission time-outs of a lossy path.
constexpr int ACKNOWLEDGE_WAIT_MILLISECONDS = 5000;
constexpr timespec ACKNOWLEDGE_POLL{0, 1000000};

using Json = nlohmann::ordered_json;

}  // namespace

#if defined(TCP_INFO)

// Older kernels give a shorter record: a field counts only if the answer reaches its end.
#define FLENKO_TCP_FIELD(field) (length >= offsetof(tcp_info, field) + sizeof info.field)

TcpSnapshot read_tcp_snapshot(int socket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    TcpSnapshot snapshot;
    if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return snapshot;
    }
    if (FLENKO_TCP_FIELD(tcpi_total_retrans)) {
        snapshot.total_retransmits = info.tcpi_total_retrans;
    }
    if (FLENKO_TCP_FIELD(tcpi_rttvar)) {
        snapshot.rtt_ms = info.tcpi_rtt / MICROSECONDS_PER_MILLISECOND;
        snapshot.rttvar_ms = info.tcpi_rttvar / MICROSECONDS_PER_MILLISECOND;
    }
    if (FLENKO_TCP_FIELD(tcpi_snd_cwnd)) {
        snapshot.cwnd_bytes = int64_t{info.tcpi_snd_cwnd} * info.tcpi_snd_mss;
    }
    if (FLENKO_TCP_FIELD(tcpi_pmtu)) {
        snapshot.pmtu = info.tcpi_pmtu;
    }
    // 0 until the receiver has timed a round trip of its own.
    if (FLENKO_TCP_FIELD(tcpi_rcv_rtt) && info.tcpi_rcv_rtt != 0) {
        snapshot.rcv_rtt_ms = info.tcpi_rcv_rtt / MICROSECONDS_PER_MILLISECOND;
    }
    if (FLENKO_TCP_FIELD(tcpi_rcv_space)) {
        snapshot.rcv_space_bytes = info.tcpi_rcv_space;
    }
    return snapshot;
}

#undef FLENKO_TCP_FIELD

#else

TcpSnapshot read_tcp_snapshot(int /*socket*/) {
    return TcpSnapshot{};
}

#endif

std::optional<int64_t> retransmits_between(const TcpSnapshot& before, const TcpSnapshot& after) {
    if (!before.total_retransmits || !after.total_retransmits) {
        return std::nullopt;
    }
    return *after.total_retransmits - *before.total_retransmits;
}

void wait_until_acknowledged(int socket) {
#if defined(TIOCOUTQ)
    for (int waited = 0; waited < ACKNOWLEDGE_WAIT_MILLISECONDS; ++waited) {
        int unacknowledged = 0;
        if (ioctl(socket, TIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0) {
            return;
        }
        nanosleep(&ACKNOWLEDGE_POLL, nullptr);
    }
#else
    (void)socket;
#endif
}

void print_tcp_figures(const TcpFigures& figures) {
    const TcpSnapshot& end = figures.end;
    bool first = true;
    if (figures.sending) {
        print_field(first, "retransmits", figures.retransmits, 1.0, "%.0f", "");
        print_field(first, "rtt", end.rtt_ms, 1.0, "%.3f", " ms");
        print_field(first, "rttvar", end.rttvar_ms, 1.0, "%.3f", " ms");
        print_field(first, "cwnd", end.cwnd_bytes, 1.0 / 1024.0, "%.1f", " KByte");
    } else {
        print_field(first, "rcv_rtt", end.rcv_rtt_ms, 1.0, "%.3f", " ms");
        print_field(first, "rcv_space", end.rcv_space_bytes, 1.0 / 1024.0, "%.1f", " KByte");
    }
    print_field(first, "pmtu", end.pmtu, 1.0, "%.0f", "");
}

Json tcp_figures_json(const TcpFigures& figures) {
    const TcpSnapshot& end = figures.end;
    if (figures.sending) {
        return {
            {"retransmits", value_or_null(figures.retransmits)},
            {"rtt_ms", value_or_null(end.rtt_ms)},
            {"rttvar_ms", value_or_null(end.rttvar_ms)},
            {"cwnd_bytes", value_or_null(end.cwnd_bytes)},
            {"pmtu", value_or_null(end.pmtu)},
        };
    }
    return {
        {"rcv_rtt_ms", value_or_null(end.rcv_rtt_ms)},
        {"rcv_space_bytes", value_or_null(end.rcv_space_bytes)},
        {"pmtu", value_or_null(end.pmtu)},
    };
}
