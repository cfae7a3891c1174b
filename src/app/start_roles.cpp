#include "app/start_roles.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "core/run_config.h"
#include "tcp/tcp_roles.h"
#include "udp/udp_roles.h"

namespace {

constexpr unsigned SERVER_SLEEP_SECONDS = 86400;

// Roles are never joined; they end on their own or with the process.
bool start_role(void* (*role)(void*)) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, role, nullptr) != 0) {
        puts("Cannot create additional thread.");
        return false;
    }
    pthread_detach(thread);
    return true;
}

}  // namespace

void on_interrupt(int /*signal*/) {
    _exit(0);
}

int run_server() {
    putchar('\n');
    if (run_config.tcp_enabled && !start_role(tcp_server)) {
        return 2;
    }
    if (run_config.udp_enabled) {
        if (!start_role(udp_receiver)) {
            return 2;
        }
        // Without its datagram socket the UDP server could serve nobody: leave it out.
        if (wait_for_udp_receiver() && !start_role(udp_server)) {
            return 2;
        }
    }
    for (;;) {
        sleep(SERVER_SLEEP_SECONDS);
    }
}

int run_client() {
    if (run_config.tcp_enabled) {
        tcp_client();
    } else {
        if (!start_role(udp_receiver)) {
            return 2;
        }
        if (!wait_for_udp_receiver()) {
            return 1;
        }
        udp_client();
    }
    putchar('\n');
    return 0;
}
