#include "app/resolve_address.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace {

in6_addr mapped_address(const in_addr& v4) {
    in6_addr address{};
    address.s6_addr[10] = 0xff;
    address.s6_addr[11] = 0xff;
    memcpy(&address.s6_addr[12], &v4, sizeof v4);
    return address;
}

}  // namespace

int resolve_address(const char* text, in6_addr& target) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answers = nullptr;
    const int result = getaddrinfo(text, nullptr, &hints, &answers);
    if (result != 0) {
        if (result == EAI_SYSTEM) {
            perror("gethostbyname()");
        } else {
            fprintf(stderr, "gethostbyname(): %s\n", gai_strerror(result));
        }
        return 1;
    }
    // The first IPv6 answer; failing that the first IPv4 one, mapped, which an IPv6
    // socket here can reach.
    const addrinfo* chosen = answers;
    for (const addrinfo* answer = answers; answer != nullptr; answer = answer->ai_next) {
        if (answer->ai_family == AF_INET6) {
            chosen = answer;
            break;
        }
    }
    if (chosen->ai_family == AF_INET6) {
        target = reinterpret_cast<const sockaddr_in6*>(chosen->ai_addr)->sin6_addr;
    } else {
        target = mapped_address(reinterpret_cast<const sockaddr_in*>(chosen->ai_addr)->sin_addr);
    }
    freeaddrinfo(answers);
    return 0;
}
