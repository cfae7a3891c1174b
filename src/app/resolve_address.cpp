#include "app/resolve_address.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>

int resolve_address(const char* text, in6_addr& target) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    // IPv4-only answers come back mapped, which an IPv6 socket here can reach.
    hints.ai_flags = AI_V4MAPPED;
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
    target = reinterpret_cast<const sockaddr_in6*>(answers->ai_addr)->sin6_addr;
    freeaddrinfo(answers);
    return 0;
}
