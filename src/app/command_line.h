// Banner, usage text and option parsing.
#pragma once

#include <string_view>

#include "core/run_config.h"

std::string_view version_text();

void print_banner();

// Prints the usage text with the current TCP port and exits with status 1.
[[noreturn]] void usage();

// The usage text followed by the long options.
void print_help();

enum class ParseOutcome {
    RUN,          // config filled in; a role is to be started
    USAGE,        // bad use: print the usage text
    NO_PROTOCOL,  // client without -t or -u: nothing to do
    HELP,         // --help
    VERSION,      // --version
};

struct CommandLine {
    const char* local_host = nullptr;   // -h text, resolved later
    const char* server_host = nullptr;  // first operand, if any
    bool json = false;                  // --json: one JSON document on standard output
};

// Fills config from the options; parsing stops at the first operand.
ParseOutcome parse_command_line(int argc, char** argv, RunConfig& config, CommandLine& line);

// The -b argument: decimal, an optional lowercase k for KiB, clamped to 1..MAX_BLOCK_SIZE.
int32_t parse_block_size(const char* text);
