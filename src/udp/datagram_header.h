// What a datagram says of itself: its place in the phase and when it was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// Byte 0 stays 0, as in every block; then a marker, the sequence number and the send time,
// each eight bytes in network byte order. A peer that sends random bytes after byte 0
// matches the seven marker bytes once in 2^56 runs.
constexpr int DATAGRAM_HEADER_SIZE = 24;
constexpr unsigned char DATAGRAM_MARKER[8] = {0, 'F', 'L', 'E', 'N', 'K', 'O', 1};

struct DatagramHeader {
    int64_t sequence = 0;          // from 0 in each phase
    int64_t sent_nanoseconds = 0;  // the sender's real-time clock
};

// A block too small for the header is sent without one.
constexpr bool has_room_for_header(int block_size) {
    return block_size >= DATAGRAM_HEADER_SIZE;
}

// Writes the marker into a block of at least DATAGRAM_HEADER_SIZE bytes, once per phase.
void write_datagram_marker(unsigned char* block);

// Writes the sequence number and the send time, now, after the marker.
void write_datagram_header(unsigned char* block, int64_t sequence);

// The same with a send time read once for several datagrams that leave in one call.
void write_datagram_header(unsigned char* block, int64_t sequence, int64_t sent_nanoseconds);

// The header of a datagram of length bytes whose first bytes are at start; empty when it
// has none.
std::optional<DatagramHeader> read_datagram_header(const unsigned char* start, size_t length);

// The real-time clock in nanoseconds, as the header and the kernel's timestamps keep it.
int64_t real_time_nanoseconds();
