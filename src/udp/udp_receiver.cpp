#include <poll.h>
#include <sys/socket.h>
#if __has_include(<linux/sock_diag.h>)
#include <linux/sock_diag.h>
#endif
#include <netinet/udp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>

#include "core/receive_nap.h"
#include "core/run_config.h"
#include "core/socket_setup.h"
#include "core/test_buffer.h"
#include "udp/datagram_batch.h"
#include "udp/datagram_header.h"
#include "udp/datagram_order.h"
#include "udp/udp_roles.h"

PhaseProgress udp_counters;
int udp_socket = -1;
std::atomic<int> udp_receiver_ready{RECEIVER_STARTING};

namespace {

constexpr useconds_t RECEIVER_POLL_MICROSECONDS = 10000;
constexpr int RECEIVE_BATCH = 64;

// True while the datagrams waiting on socket hold under an eighth of its receive buffer;
// false where the system does not tell.
bool receive_buffer_mostly_free(int socket) {
#if defined(SO_MEMINFO) && defined(SK_MEMINFO_VARS)
    uint32_t memory[SK_MEMINFO_VARS]{};
    socklen_t length = sizeof memory;
    return getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &length) == 0 &&
           memory[SK_MEMINFO_RMEM_ALLOC] < memory[SK_MEMINFO_RCVBUF] / 8;
#else
    (void)socket;
    return false;
#endif
}

// Room for the rest of the largest train the kernel hands over in one message (UDP_GRO).
constexpr size_t TRAIN_ROOM = TEST_BUFFER_SIZE;

// Every datagram that is waiting, up to a batch, in one call. Each one's first bytes land in
// a header area of its own, where its sequence number and send time are read; the rest of a
// phase's block in the one shared buffer, as every datagram's does, never looked at; what
// lies beyond a block, the further datagrams of a train, in a train area of the message's own,
// where each one's header is read too. Datagrams then stay in the few bytes the shared buffer
// keeps hot, however many a call takes, and a train's headers are never overwritten by the
// messages after it.
struct ReceiveBatch {
    struct Message {
        sockaddr_in6 source;
        unsigned char header[DATAGRAM_HEADER_SIZE];
        iovec parts[3];
        // Room for the kernel's receive time and a train's segment size.
        alignas(
            cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(int))];
    };
    Message held[RECEIVE_BATCH]{};
    mmsghdr messages[RECEIVE_BATCH]{};
    unsigned char* shared;
    unsigned char* trains;  // RECEIVE_BATCH areas of TRAIN_ROOM bytes

    ReceiveBatch(unsigned char* shared_buffer, unsigned char* train_areas)
        : shared(shared_buffer), trains(train_areas) {
        for (size_t i = 0; i < std::size(held); ++i) {
            Message& message = held[i];
            message.parts[0] = {message.header, DATAGRAM_HEADER_SIZE};
            message.parts[2] = {trains + i * TRAIN_ROOM, TRAIN_ROOM};
            messages[i].msg_hdr.msg_name = &message.source;
            messages[i].msg_hdr.msg_iov = message.parts;
            messages[i].msg_hdr.msg_iovlen = 3;
            messages[i].msg_hdr.msg_control = message.control;
        }
        shape(DATAGRAM_HEADER_SIZE);
    }

    // Blocks of size bytes from now on: a train of them then has its second datagram, and
    // every one after it, in its train area.
    void shape(int32_t size) {
        const size_t block = std::clamp<size_t>(static_cast<size_t>(std::max(size, 0)),
                                                DATAGRAM_HEADER_SIZE, TEST_BUFFER_SIZE);
        for (Message& message : held) {
            message.parts[1] = {shared, block - DATAGRAM_HEADER_SIZE};
        }
    }

    // The header bytes at offset into message i's bytes, gathered from its parts into into;
    // the bytes there when they lie in the shared buffer, which later messages overwrite,
    // which only a train of datagrams shorter than the phase's blocks has.
    void gather_header(size_t i, size_t offset, unsigned char* into) const {
        size_t from = 0;
        size_t gathered = 0;
        for (const iovec& part : held[i].parts) {
            while (gathered < DATAGRAM_HEADER_SIZE && offset + gathered < from + part.iov_len) {
                into[gathered] =
                    static_cast<const unsigned char*>(part.iov_base)[offset + gathered - from];
                ++gathered;
            }
            from += part.iov_len;
        }
    }
};

// What the kernel says of a message beside its bytes.
struct MessageNotes {
    int64_t received_nanoseconds = 0;  // 0: it did not say
    int segment = 0;                   // of a train; 0: a single datagram
};

MessageNotes read_notes(const msghdr& message) {
    MessageNotes notes;
    for (const cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
         part = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(part))) {
#ifdef SO_TIMESTAMPNS
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_TIMESTAMPNS &&
            part->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
            notes.received_nanoseconds = int64_t{stamp.tv_sec} * 1000000000 + stamp.tv_nsec;
        }
#endif
#ifdef UDP_GRO
        if (part->cmsg_level == SOL_UDP && part->cmsg_type == UDP_GRO &&
            part->cmsg_len >= CMSG_LEN(sizeof(int))) {
            memcpy(&notes.segment, CMSG_DATA(part), sizeof notes.segment);
        }
#endif
    }
    return notes;
}

// Held by whoever takes datagrams from udp_socket until they are counted, and by whoever
// connects it to another peer or resets the counts. The receiver takes it per batch, never
// while it waits.
std::mutex udp_socket_use;
// What the numbered datagrams of the current phase tell; under udp_socket_use.
DatagramOrder udp_order;
// Whose datagrams count: the session peer's address; nobody's between sessions. Its port is
// not compared: a NAT may rewrite the port a client sends from, while its address is the
// control connection's. Under udp_socket_use.
std::optional<in6_addr> udp_peer;

bool from_peer(const msghdr& message, const sockaddr_in6& source) {
    return udp_peer && message.msg_namelen == sizeof source && source.sin6_family == AF_INET6 &&
           memcmp(&source.sin6_addr, &*udp_peer, sizeof source.sin6_addr) == 0;
}

// The receiver's batch, which also takes what is left after a phase; used under
// udp_socket_use, stored before udp_receiver_ready turns RECEIVER_READY.
ReceiveBatch* receiver_batch = nullptr;

// The train areas of a batch, released when the receiver's set-up fails.
struct TrainAreasFree {
    void operator()(unsigned char* areas) const { free(areas); }
};

// What one call took in.
struct BatchTaken {
    int messages = 0;  // what recvmmsg returns
    bool trains = false;
};

// Receives what is waiting, up to a batch, without waiting, and counts it: a train as the
// datagrams it holds.
BatchTaken receive_batch(ReceiveBatch& batch) {
    for (mmsghdr& message : batch.messages) {
        message.msg_hdr.msg_namelen = sizeof(sockaddr_in6);
        message.msg_hdr.msg_controllen = sizeof ReceiveBatch::Message::control;
    }
    const int received = recvmmsg(udp_socket, batch.messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
    int64_t packets = 0;
    int64_t bytes = 0;
    int64_t batch_time = 0;
    for (int i = 0; i < received; ++i) {
        // Another host's datagrams (or a stale sender's), a train of them too, would make the
        // counts and the loss plainly wrong, even negative.
        if (!from_peer(batch.messages[i].msg_hdr, batch.held[i].source)) {
            continue;
        }
        const size_t length = batch.messages[i].msg_len;
        const MessageNotes notes = read_notes(batch.messages[i].msg_hdr);
        packets += datagrams_in_train(static_cast<int64_t>(length), notes.segment);
        bytes += static_cast<int64_t>(length);
        const size_t step = notes.segment > 0 ? static_cast<size_t>(notes.segment) : length;
        for (size_t at = 0; at < length; at += step) {
            unsigned char gathered[DATAGRAM_HEADER_SIZE]{};
            const unsigned char* start = batch.held[i].header;
            if (at > 0) {
                batch.gather_header(static_cast<size_t>(i), at, gathered);
                start = gathered;
            }
            const std::optional<DatagramHeader> header =
                read_datagram_header(start, std::min(step, length - at));
            if (!header) {
                continue;
            }
            if (notes.received_nanoseconds == 0 && batch_time == 0) {
                batch_time = real_time_nanoseconds();
            }
            udp_order.arrived(
                header->sequence, header->sent_nanoseconds,
                notes.received_nanoseconds != 0 ? notes.received_nanoseconds : batch_time);
        }
    }
    if (packets > 0) {
        udp_counters.datagrams.fetch_add(packets, std::memory_order_relaxed);
        udp_counters.bytes.fetch_add(bytes, std::memory_order_relaxed);
    }
    return {received, packets > received};
}

}  // namespace

void reset_udp_counters(int32_t block_size) {
    const std::lock_guard hold(udp_socket_use);
    if (receiver_batch != nullptr) {
        receiver_batch->shape(block_size);
    }
    udp_counters.datagrams.store(0, std::memory_order_relaxed);
    udp_counters.bytes.store(0, std::memory_order_relaxed);
    udp_order.reset();
}

void set_udp_peer(const in6_addr* peer) {
    const std::lock_guard hold(udp_socket_use);
    udp_peer.reset();
    if (peer != nullptr) {
        udp_peer = *peer;
    }
}

DatagramOrderFigures read_datagram_order() {
    const std::lock_guard hold(udp_socket_use);
    return udp_order.figures();
}

bool wait_for_udp_receiver() {
    int state = RECEIVER_STARTING;
    while ((state = udp_receiver_ready.load(std::memory_order_acquire)) == RECEIVER_STARTING) {
        usleep(RECEIVER_POLL_MICROSECONDS);
    }
    return state == RECEIVER_READY;
}

void* udp_receiver(void* /*unused*/) {
    TestBuffer buffer;
    // Untouched, and so not resident, until trains arrive.
    const std::unique_ptr<unsigned char, TrainAreasFree> trains(
        static_cast<unsigned char*>(malloc(RECEIVE_BATCH * TRAIN_ROOM)));
    if (trains == nullptr) {
        perror("malloc()");
    }
    if (!buffer.is_allocated() || trains == nullptr) {
        udp_receiver_ready.store(RECEIVER_FAILED, std::memory_order_release);
        return nullptr;
    }
    const Socket socket_owner =
        open_bound_socket(SOCK_DGRAM, run_config.udp_port, false, {"socket(DGRAM)", "bind(DGRAM)"});
    if (!socket_owner.is_open()) {
        udp_receiver_ready.store(RECEIVER_FAILED, std::memory_order_release);
        return nullptr;
    }
    udp_socket = socket_owner.fd();
    const int on = 1;
#ifdef SO_TIMESTAMPNS
    // Jitter from when datagrams reached the host, not from when this thread woke.
    setsockopt(udp_socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#endif
#ifdef UDP_GRO
    // Trains of datagrams from one sender in one message, where the sender or the device
    // made them; a kernel without it hands them over one by one, as without the option.
    if (run_config.offload) {
        setsockopt(udp_socket, SOL_UDP, UDP_GRO, &on, sizeof on);
    }
#endif
    ReceiveBatch batch(buffer.bytes(), trains.get());
    receiver_batch = &batch;
    udp_receiver_ready.store(RECEIVER_READY, std::memory_order_release);

    tighten_timer_slack();

    // While datagrams keep coming, nap instead of waiting on the socket (see receive_nap.h).
    // Wait on the socket again when a nap brought nothing, or filled so much of the receive
    // buffer that a longer nap might overflow it.
    bool napping = false;
    for (;;) {
        bool nap_again = true;
        if (napping) {
            receive_nap();
            nap_again = receive_buffer_mostly_free(udp_socket);
        } else {
            // Waits without taking anything, so that nothing is taken outside udp_socket_use.
            pollfd readable{udp_socket, POLLIN, 0};
            if (poll(&readable, 1, -1) < 0) {
                continue;
            }
        }
        BatchTaken taken;
        int error = 0;
        {
            const std::lock_guard hold(udp_socket_use);
            taken = receive_batch(batch);
            error = errno;
        }
        const int received = taken.messages;
        if (received < 0) {
            if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
                errno = error;
                perror("recvfrom()");
            }
            napping = false;
            continue;
        }
        // One datagram after a wake-up: they come slower than this thread wakes, and a nap
        // would only add a wake-up of its own. A full batch leaves more waiting: take it at
        // once. Trains fill the receive buffer a nap's length sooner, and a wake-up per train
        // costs their sender little: wait on the socket for them.
        napping =
            received < RECEIVE_BATCH && nap_again && (napping || received > 1) && !taken.trains;
    }
}

void count_waiting_datagrams() {
    // Taking the socket also waits until a batch the receiver holds has been counted.
    const std::lock_guard hold(udp_socket_use);
    if (receiver_batch == nullptr) {
        return;
    }
    while (receive_batch(*receiver_batch).messages == RECEIVE_BATCH) {
    }
}

int connect_udp_socket(const sockaddr* address, socklen_t length) {
    // The receiver stays off the socket while its peer changes: the kernel would not mind,
    // but the ordering is then plain to see, for readers and for ThreadSanitizer alike.
    const std::lock_guard hold(udp_socket_use);
    return connect(udp_socket, address, length);
}
