// The block loops of a TCP phase: stream until the alarm, or receive until the marker.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "core/phase_progress.h"
#include "core/send_pacing.h"

struct PhaseResult {
    int64_t bytes = 0;             // size counted for every block, whole or given up
    ssize_t last_result = 0;       // result of the phase's last send or recv call
    bool connection_lost = false;  // the peer is gone or silent: nothing more will move
};

// Streams blocks of size bytes until alarm_expired, testing it only between blocks, each
// block when pacer lets it go when one is given. The bytes counted so far are published in
// progress after every block, when given.
PhaseResult send_phase(int socket, unsigned char* buffer, int size,
                       PhaseProgress* progress = nullptr, SendPacer* pacer = nullptr);

// Receives blocks of size bytes until one carries the end marker, the peer closes or a
// receive fails; publishes like send_phase.
PhaseResult receive_phase(int socket, unsigned char* buffer, int size,
                          PhaseProgress* progress = nullptr);

// Sends the last block of a phase, marked in byte 0, in one call: the send_once result.
int send_final_block(int socket, unsigned char* buffer, int size);
