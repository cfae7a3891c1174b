// The datagram loop of a UDP sending phase.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "core/control_message.h"
#include "core/phase_progress.h"
#include "core/run_config.h"
#include "core/send_pacing.h"

struct DatagramPhase {
    int64_t datagrams = 0;  // blocks sent, those given up after a failed send included
    int64_t bytes = 0;
    bool segmented = false;  // some of them left in batches that the kernel split
};

// Whether a sender may hand the kernel batches of datagrams (--offload): one for a client's
// run, one for each connection a server serves. Off for good once the kernel refused one.
struct Segmentation {
    bool usable = false;
};

// Sends blocks of size bytes through udp_socket to destination until alarm_expired,
// testing it only between calls, each when pacer lets it go. Each block that has room
// carries a header (datagram_header.h) written into buffer. Where segmentation is usable and
// a block fits the path whole, one call hands the kernel a batch of blocks, laid out back to
// back in buffer (its first 64 KiB then hold copies of its first block), to leave as one
// datagram each; paced, a batch holds the blocks that are due. ENOBUFS is retried silently
// when retry_no_buffers, else reported and the block (the batch) given up like any other
// failure. The counts so far are published in progress after every call.
DatagramPhase send_datagram_phase(unsigned char* buffer, int size, const sockaddr_in6& destination,
                                  bool retry_no_buffers, PhaseProgress& progress, SendPacer& pacer,
                                  Segmentation& segmentation);

// The pacer of a datagram phase whose receiver starts timing it now. Half a block of
// credit: over the phase the receiver then counts the rate's datagrams rounded to the
// nearest, not always one short.
inline SendPacer datagram_pacer(int size, int phase_seconds = run_config.phase_seconds) {
    return {size, size / 2, phase_seconds};
}

// Receives the record that ends the peer's datagram phase. The control connection is
// quiet for the whole phase, however long the peer makes it, so the wait fails only when
// neither it nor the arriving datagrams have moved for the idle limit. Returns as
// recv_message does.
int recv_message_after_phase(int control, ControlMessage& message);
