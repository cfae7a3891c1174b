#include <csignal>
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/json_report.h"
#include "app/resolve_address.h"
#include "app/start_roles.h"
#include "core/congestion_control.h"
#include "core/run_config.h"

int main(int argc, char** argv) {
    // Line by line even into a pipe or a file, so a server's log follows its clients.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 1) {
        print_banner();
        usage();
    }
    CommandLine line;
    const ParseOutcome outcome = parse_command_line(argc, argv, run_config, line);
    if (outcome == ParseOutcome::VERSION) {
        const std::string_view version = version_text();
        printf("%.*s\n", static_cast<int>(version.size()), version.data());
        return 0;
    }
    const bool json = line.json && !run_config.server_mode && outcome == ParseOutcome::RUN;
    if (json) {
        begin_json_output();
    } else if (line.json && outcome == ParseOutcome::RUN) {
        begin_json_lines();
    }
    print_banner();
    switch (outcome) {
        case ParseOutcome::USAGE:
            usage();
        case ParseOutcome::HELP:
            print_help();
            return 0;
        case ParseOutcome::NO_PROTOCOL:
            putchar('\n');
            return 0;
        case ParseOutcome::VERSION:
        case ParseOutcome::RUN:
            break;
    }
    const bool local_failed =
        line.local_host != nullptr && resolve_address(line.local_host, run_config.local_address);
    if (!local_failed && !run_config.server_mode && line.server_host == nullptr) {
        usage();
    }
    if (local_failed ||
        (!run_config.server_mode && resolve_address(line.server_host, run_config.server_address))) {
        if (json) {
            finish_json_output(line.server_host, "host lookup failed");
        }
        return 1;
    }
    // Before any connection: a run without the algorithm asked for would measure another.
    const std::string congestion_problem = congestion_control_problem();
    if (!congestion_problem.empty()) {
        fprintf(stderr, "%s\n", congestion_problem.c_str());
        if (json) {
            finish_json_output(line.server_host, "congestion control not available");
        }
        return 1;
    }
    signal(SIGINT, on_interrupt);
    if (run_config.server_mode) {
        return run_server();
    }
    if (run_config.tcp_enabled && run_config.udp_enabled) {
        usage();
    }
    const int status = run_client();
    if (json) {
        finish_json_output(line.server_host, status == 1 ? "UDP port unavailable" : nullptr);
    }
    return status;
}
