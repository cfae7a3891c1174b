#include "core/accept_loop.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "core/congestion_control.h"

Socket accept_client(int listener, const char* listening_line, const char* established_text,
                     sockaddr_in6& peer) {
    for (;;) {
        puts(listening_line);
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
        if (ready == 0 || !FD_ISSET(listener, &readable)) {
            continue;
        }
        socklen_t length = sizeof peer;
        Socket connection(accept(listener, reinterpret_cast<sockaddr*>(&peer), &length));
        if (connection.is_open()) {
            set_socket_buffers(connection.fd());
            set_congestion_control(connection.fd());
            set_idle_limit(connection.fd());
            fputs(established_text, stdout);
            fflush(stdout);
            return connection;
        }
    }
}
