// How many datagrams one sending call hands the kernel (segmentation offload), and how many
// datagrams a received train holds.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// At most this many datagrams to a call, as the kernel takes them on every version that
// segments at all...
constexpr int BATCH_MOST_DATAGRAMS = 64;
// ...and at most this many bytes: the largest UDP payload of one send over IPv4 (IPv6 takes
// 20 more), which a batch is to the kernel until it splits it.
constexpr int BATCH_MOST_BYTES = 65507;
// IP and UDP headers in front of each datagram on the wire.
constexpr int UDP_IPV6_HEADERS = 48;
constexpr int UDP_IPV4_HEADERS = 28;

// Datagrams of size bytes one call may carry on a path of mtu bytes (0: not known): 1 where a
// datagram and its headers do not fit the path whole, since the kernel segments only those
// that do; else as many as the datagram and byte limits allow.
int batch_capacity(int size, int mtu, bool ipv4);

// Datagrams a received train of length bytes holds, each segment bytes long but the last,
// which may be shorter; segment 0 is a single datagram. Empty datagrams count none.
constexpr int64_t datagrams_in_train(int64_t length, int segment) {
    if (length <= 0) {
        return 0;
    }
    return segment <= 0 ? 1 : (length + segment - 1) / segment;
}

// The path MTU of the connected socket; 0 where the system does not tell.
int connected_path_mtu(int socket);

// Whether a destination is an IPv4 host, reached through a mapped address.
bool reached_over_ipv4(const sockaddr_in6& destination);

// Sends count datagrams of size bytes, laid out back to back from first, in one call on the
// connected socket, for the kernel to split every size bytes. Returns what sendmsg returns.
ssize_t send_batch(int socket, const unsigned char* first, int size, int count);

// Whether a failed batch means the kernel will not segment this way at all (an old kernel, a
// device or route that cannot, a path whose MTU shrank), rather than a failed send.
bool segmentation_refused(int error);
