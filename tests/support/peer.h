// A hand-driven peer for the control protocol, for cases a well-behaved client never makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/socket_setup.h"

// Connects to host (IPv6 or IPv4 text) at port, retrying for up to two seconds while the
// server starts; a closed Socket when it never answers.
Socket connect_to(const std::string& host, int port);

// A control record's eight bytes, both fields big-endian.
std::vector<unsigned char> record_bytes(uint32_t command, uint32_t value);

// Sends a control record exactly as a client would (both fields big-endian).
bool send_record(int socket, uint32_t command, uint32_t value);

// Sends raw bytes in one call.
bool send_bytes(int socket, const std::vector<unsigned char>& bytes);

// Reads one 8-byte record; false when the peer closed or failed first.
bool read_record(int socket, uint32_t& command, uint32_t& value);

// Reads and throws away everything until the peer closes; false on a time-out.
bool drain_until_closed(int socket, int timeout_ms);

// Closes with a reset instead of an orderly close.
void reset_connection(Socket& socket);
