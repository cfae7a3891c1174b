// TCP's own view of a connection (TCP_INFO), read per phase and per interval.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>

// One reading. A field the system does not give stays empty: unknown, never 0.
struct TcpSnapshot {
    std::optional<int64_t> total_retransmits;  // segments, since the connection began
    std::optional<double> rtt_ms;              // smoothed
    std::optional<double> rttvar_ms;
    std::optional<int64_t> cwnd_bytes;  // congestion window
    std::optional<int64_t> pmtu;
    std::optional<double> rcv_rtt_ms;  // the receiver's estimate; empty until it has one
    std::optional<int64_t> rcv_space_bytes;
};

TcpSnapshot read_tcp_snapshot(int socket);

// Retransmits between two readings, when both know them.
std::optional<int64_t> retransmits_between(const TcpSnapshot& before, const TcpSnapshot& after);

// A phase: the retransmits during it and the reading at its end.
struct TcpFigures {
    bool sending = false;
    std::optional<int64_t> retransmits;
    TcpSnapshot end;
};

// Waits until the peer has acknowledged every byte sent, so that the retransmits a phase's
// last blocks need are counted in it; gives up after a few seconds of a silent peer.
void wait_until_acknowledged(int socket);

// " retransmits 0, rtt 0.052 ms, ..." for the sending side, the receiver's figures else.
void print_tcp_figures(const TcpFigures& figures);

nlohmann::ordered_json tcp_figures_json(const TcpFigures& figures);
