#include <csignal>
#include <cstdio>

#include "app/command_line.h"
#include "app/resolve_address.h"
#include "app/start_roles.h"
#include "core/run_config.h"

int main(int argc, char** argv) {
    // Line by line even into a pipe or a file, so a server's log follows its clients.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    print_banner();
    if (argc == 1) {
        usage();
    }
    CommandLine line;
    switch (parse_command_line(argc, argv, run_config, line)) {
        case ParseOutcome::USAGE:
            usage();
        case ParseOutcome::NO_PROTOCOL:
            putchar('\n');
            return 0;
        case ParseOutcome::RUN:
            break;
    }
    if (line.local_host != nullptr && resolve_address(line.local_host, run_config.local_address)) {
        return 1;
    }
    if (!run_config.server_mode) {
        if (line.server_host == nullptr) {
            usage();
        }
        if (resolve_address(line.server_host, run_config.server_address) != 0) {
            return 1;
        }
    }
    signal(SIGINT, on_interrupt);
    if (run_config.server_mode) {
        return run_server();
    }
    if (run_config.tcp_enabled && run_config.udp_enabled) {
        usage();
    }
    return run_client();
}
