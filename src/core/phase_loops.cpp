#include "core/phase_loops.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/control_message.h"
#include "core/phase_alarm.h"
#include "core/receive_nap.h"
#include "core/socket_setup.h"

namespace {

// Measured over loopback, where the sender pays ~8 us per wake-up of the receiver and a
// 10 us nap lasts ~35 us. Sleeping on every empty socket held 1 KiB blocks to ~110 MiB/s
// (one sleep per ten blocks); napping took them to ~150. Naps allowed to fill a quarter of
// the buffer before sleeping gave up at 8 KiB, where a nap gathers ~35 KiB, and stayed at
// the sleeping rate; half the buffer kept 8 KiB napping (+30 %), while 32 KiB streams,
// fast enough to fill that during a nap, keep sleeping as before. Through a link shaped
// to 100 Mbit/s, naps after sleeps of up to 100 us doubled the receiver's CPU for the
// same rate; after sleeps no longer than a nap itself they cost nothing measurable.

// Share of the receive buffer a nap may let fill before the receiver sleeps for a while.
constexpr int NAP_SHARE = 2;
// Sleeps before the receiver tries a nap again after one that filled too much.
constexpr int SLEEPS_AFTER_FULL_NAP = 16;
// A sleep that ended within a nap's length: a nap would have caught the bytes as well.
constexpr int64_t SHORT_SLEEP_MICROSECONDS = 40;

// Failures that every further transfer on the connection would repeat; a time-out means
// the peer stayed silent for the whole idle limit.
bool connection_gone(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT ||
           error == EAGAIN || error == EWOULDBLOCK;
}

// How receive_phase waits when the bytes it wants have not arrived. Sleeping on the socket
// makes the sender pay a wake-up for the next bytes (see receive_nap.h); while blocks keep
// coming, napping costs it nothing. But a nap is a pause of the receiver: where the sender
// could fill the receive window meanwhile, it stalls, and the wake-up moves to the other
// side, so fast streams of large blocks are better served by sleeping.
class ReceiveWaits {
   public:
    ReceiveWaits(int socket, int size) : socket_(socket), block_(size) {
        int buffer = 0;
        socklen_t length = sizeof buffer;
        if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &buffer, &length) == 0 && buffer > 0) {
            nap_limit_ = buffer / NAP_SHARE;
        }
        tighten_timer_slack();
    }

    void count(ssize_t bytes) { since_wait_ += bytes; }

    // Called when nothing is waiting: true to nap, false to sleep on the socket.
    bool nap_next() {
        bool nap = false;
        if (last_was_nap_) {
            // A nap that brought less than a block: blocks come slower than naps, and
            // napping on would cost more than the sleeps it saves. One that let a good part
            // of the buffer fill: the sender may be about to stall.
            if (since_wait_ >= nap_limit_) {
                sleeps_before_nap_ = SLEEPS_AFTER_FULL_NAP;
            }
            nap = since_wait_ >= block_ && sleeps_before_nap_ == 0;
        } else if (sleeps_before_nap_ > 0) {
            --sleeps_before_nap_;
        } else {
            nap = last_sleep_short_;
        }
        last_was_nap_ = nap;
        since_wait_ = 0;
        return nap;
    }

    // Sleeps in recv until bytes come, timing the sleep: one that ended soon says the
    // stream is fast enough for naps to pay.
    ssize_t sleep_receive(void* into, size_t wanted) {
        const int64_t start = now_microseconds();
        const ssize_t received = recv(socket_, into, wanted, 0);
        last_sleep_short_ = now_microseconds() - start < SHORT_SLEEP_MICROSECONDS;
        return received;
    }

   private:
    static int64_t now_microseconds() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
    }

    int socket_;
    int64_t block_;
    int64_t nap_limit_ = 0;
    int64_t since_wait_ = 0;
    bool last_was_nap_ = false;
    bool last_sleep_short_ = false;
    int sleeps_before_nap_ = 0;
};

// A plain store, no system call: the block loops stay as lean as without a reader.
void publish(PhaseProgress* progress, int64_t bytes) {
    if (progress != nullptr) {
        progress->bytes.store(bytes, std::memory_order_relaxed);
    }
}

}  // namespace

PhaseResult send_phase(int socket, unsigned char* buffer, int size, PhaseProgress* progress,
                       SendPacer* pacer) {
    buffer[0] = 0;
    PhaseResult result;
    if (alarm_expired.load(std::memory_order_relaxed) != 0) {
        return result;
    }
    for (;;) {
        if (pacer != nullptr && pacer->paced()) {
            pacer->wait_for_block();
            if (alarm_expired.load(std::memory_order_relaxed) != 0) {
                return result;
            }
            pacer->sent();
        }
        int position = 0;
        while (position < size) {
            const ssize_t sent =
                send(socket, buffer + position, static_cast<size_t>(size - position), SEND_FLAGS);
            result.last_result = sent;
            if (sent >= 0) {
                position += static_cast<int>(sent);
                continue;
            }
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            perror("send()");
            if (connection_gone(error)) {
                result.bytes += size;
                result.connection_lost = true;
                return result;
            }
            break;
        }
        result.bytes += size;
        publish(progress, result.bytes);
        if (alarm_expired.load(std::memory_order_relaxed) != 0) {
            return result;
        }
    }
}

PhaseResult receive_phase(int socket, unsigned char* buffer, int size, PhaseProgress* progress) {
    PhaseResult result;
    ReceiveWaits waits(socket, size);
    for (;;) {
        int position = 0;
        while (position < size) {
            void* const into = buffer + position;
            const auto wanted = static_cast<size_t>(size - position);
            ssize_t received = recv(socket, into, wanted, MSG_DONTWAIT);
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (waits.nap_next()) {
                    receive_nap();
                    continue;
                }
                // Sleeps until bytes come; fails only after the idle limit.
                received = waits.sleep_receive(into, wanted);
            }
            result.last_result = received;
            if (received > 0) {
                waits.count(received);
                position += static_cast<int>(received);
                continue;
            }
            if (received == 0) {
                break;
            }
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            perror("recv()");
            result.bytes += size;
            result.connection_lost = connection_gone(error);
            return result;
        }
        result.bytes += size;
        publish(progress, result.bytes);
        if (buffer[0] != 0 || result.last_result <= 0) {
            return result;
        }
    }
}

int send_final_block(int socket, unsigned char* buffer, int size) {
    buffer[0] = 1;
    return send_once(socket, buffer, size);
}
