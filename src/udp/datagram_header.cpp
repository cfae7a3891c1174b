#include "udp/datagram_header.h"

#include <endian.h>

#include <cstring>
#include <ctime>

namespace {

constexpr size_t SEQUENCE_AT = 8;
constexpr size_t SENT_AT = 16;

void put_number(unsigned char* at, int64_t value) {
    const uint64_t wire = htobe64(static_cast<uint64_t>(value));
    memcpy(at, &wire, sizeof wire);
}

int64_t get_number(const unsigned char* at) {
    uint64_t wire = 0;
    memcpy(&wire, at, sizeof wire);
    return static_cast<int64_t>(be64toh(wire));
}

}  // namespace

int64_t real_time_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void write_datagram_marker(unsigned char* block) {
    memcpy(block, DATAGRAM_MARKER, sizeof DATAGRAM_MARKER);
}

void write_datagram_header(unsigned char* block, int64_t sequence) {
    write_datagram_header(block, sequence, real_time_nanoseconds());
}

void write_datagram_header(unsigned char* block, int64_t sequence, int64_t sent_nanoseconds) {
    put_number(block + SEQUENCE_AT, sequence);
    put_number(block + SENT_AT, sent_nanoseconds);
}

std::optional<DatagramHeader> read_datagram_header(const unsigned char* start, size_t length) {
    if (length < DATAGRAM_HEADER_SIZE ||
        memcmp(start, DATAGRAM_MARKER, sizeof DATAGRAM_MARKER) != 0) {
        return std::nullopt;
    }
    return DatagramHeader{get_number(start + SEQUENCE_AT), get_number(start + SENT_AT)};
}
