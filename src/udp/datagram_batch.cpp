#include "udp/datagram_batch.h"

#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

int batch_capacity(int size, int mtu, bool ipv4) {
    const int headers = ipv4 ? UDP_IPV4_HEADERS : UDP_IPV6_HEADERS;
    if (size <= 0 || mtu <= 0 || size + headers > mtu) {
        return 1;
    }
    return std::max(1, std::min(BATCH_MOST_DATAGRAMS, BATCH_MOST_BYTES / size));
}

int connected_path_mtu(int socket) {
#ifdef IPV6_MTU
    int mtu = 0;
    socklen_t length = sizeof mtu;
    if (getsockopt(socket, IPPROTO_IPV6, IPV6_MTU, &mtu, &length) == 0) {
        return mtu;
    }
#else
    (void)socket;
#endif
    return 0;
}

bool reached_over_ipv4(const sockaddr_in6& destination) {
    return IN6_IS_ADDR_V4MAPPED(&destination.sin6_addr);
}

ssize_t send_batch(int socket, const unsigned char* first, int size, int count) {
#ifdef UDP_SEGMENT
    iovec payload{const_cast<unsigned char*>(first), static_cast<size_t>(size) * count};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(uint16_t))]{};
    msghdr message{};
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const auto segment_size = static_cast<uint16_t>(size);
    memcpy(CMSG_DATA(segment), &segment_size, sizeof segment_size);
    return sendmsg(socket, &message, 0);
#else
    (void)socket;
    (void)first;
    (void)size;
    (void)count;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

bool segmentation_refused(int error) {
    return error == EINVAL || error == EIO || error == EMSGSIZE || error == ENOPROTOOPT ||
           error == EOPNOTSUPP;
}
