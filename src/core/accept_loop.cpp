#include "core/accept_loop.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/client_allow.h"
#include "core/congestion_control.h"

Socket accept_client(int listener, const char* protocol, const char* listening_line,
                     const char* established_text, sockaddr_in6& peer) {
    puts(listening_line);
    for (;;) {
        int ready = 0;
        fd_set readable;
        do {
            FD_ZERO(&readable);
            FD_SET(listener, &readable);
            timeval wait{ACCEPT_WAIT_SECONDS, 0};
            ready = select(FD_SETSIZE, &readable, nullptr, nullptr, &wait);
            // The alarm of another role's phase may land on this thread: wait on.
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            perror("select()");
            return Socket();
        }
        if (ready == 0) {
            puts(listening_line);
            continue;
        }
        if (!FD_ISSET(listener, &readable)) {
            continue;
        }
        socklen_t length = sizeof peer;
        Socket connection(accept(listener, reinterpret_cast<sockaddr*>(&peer), &length));
        if (!connection.is_open()) {
            continue;
        }
        if (!client_allowed(peer.sin6_addr)) {
            char address[INET6_ADDRSTRLEN] = "";
            inet_ntop(AF_INET6, &peer.sin6_addr, address, sizeof address);
            printf("%s connection from %s refused: not in --allow.\n", protocol, address);
            continue;
        }
        set_socket_buffers(connection.fd());
        set_congestion_control(connection.fd());
        set_idle_limit(connection.fd());
        fputs(established_text, stdout);
        fflush(stdout);
        return connection;
    }
}
