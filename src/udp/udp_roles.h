// The UDP benchmark: the datagram receiver both sides lean on, and the two roles.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

#include "core/phase_progress.h"
#include "udp/datagram_order.h"

enum UdpReceiverState : int {
    RECEIVER_STARTING = 0,
    RECEIVER_READY = 1,
    RECEIVER_FAILED = -1,
};

// Datagrams that reached udp_port since the last reset.
extern PhaseProgress udp_counters;
// The one datagram socket: stored before udp_receiver_ready turns RECEIVER_READY (release).
extern int udp_socket;
extern std::atomic<int> udp_receiver_ready;

// Resets the counts and the sequence figures at the start of a phase of datagrams of
// block_size bytes.
void reset_udp_counters(int32_t block_size);

// Whose datagrams are counted from now on: those from address peer only, or nobody's when
// null.
void set_udp_peer(const in6_addr* peer);

// The sequence figures of the datagrams counted since the last reset.
DatagramOrderFigures read_datagram_order();

// Counts the datagrams still waiting on udp_socket. The receiver naps between batches while
// datagrams flow, so whoever reads the counters after a phase calls this first, or the last
// ones would be missing.
void count_waiting_datagrams();

// connect() on udp_socket, made while no datagram is being taken from it.
int connect_udp_socket(const sockaddr* address, socklen_t length);

// Waits until the receiver has its socket; false when its set-up failed.
bool wait_for_udp_receiver();

// Thread entry: binds udp_socket and counts every datagram that arrives, for ever.
void* udp_receiver(void* unused);

// Thread entry: serves UDP clients one at a time until waiting for them fails.
void* udp_server(void* unused);

// Runs the whole UDP benchmark against the configured server.
void udp_client();
