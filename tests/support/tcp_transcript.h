// What the TCP roles print, as whole-output patterns, and servers started for one test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

// One printed rate: " <number> <unit>/s".
inline constexpr std::string_view RATE_PATTERN = " [0-9]+(\\.[0-9]+)? (Byte|KByte|MByte|GByte)/s";

// The rate of a phase that may end within one tick, which prints an infinite rate.
inline constexpr std::string_view INSTANT_RATE_PATTERN =
    " ([0-9]+(\\.[0-9]+)?|inf) (Byte|KByte|MByte|GByte)/s";

// text with every regex metacharacter escaped.
std::string literal(std::string_view text);

// The two banner lines every process prints first; the second line is free text.
std::string banner_pattern();

// A TCP client's whole standard output for a run that measured every label.
std::string client_run_pattern(const std::vector<std::string>& labels);

// One server connection that measured every label, up to the next listening line.
std::string served_session_pattern(const std::vector<std::string>& labels,
                                   std::string_view receive_rate = RATE_PATTERN);

// One server connection that ended before any phase, up to the next listening line.
std::string ended_session_pattern();

// A TCP-only server's whole standard output after the given sessions.
std::string tcp_server_pattern(const std::vector<std::string>& sessions);

// Passes when pattern matches all of text; shows text on failure.
testing::AssertionResult FullyMatches(const std::string& text, const std::string& pattern);

// Passes when every line of a standard error text starts with one of the prefixes.
testing::AssertionResult OnlyReports(const std::string& err,
                                     const std::vector<std::string>& prefixes);

// Starts a child with SIGPIPE at its default action, so a send to a vanished peer
// without MSG_NOSIGNAL would kill it even when the test runner ignores SIGPIPE.
std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& arguments);

// `flenko_short -s -t -p port`, once it has printed its listening line; null otherwise.
std::unique_ptr<ChildProcess> start_tcp_server(int port);

// Runs `flenko_short -t -p port <options> host` to its end.
ProcessResult run_tcp_client(const std::string& host, int port,
                             const std::vector<std::string>& options,
                             std::chrono::milliseconds timeout = std::chrono::seconds(15));

// Reads until standard output holds text at least count times.
bool wait_for_count(ChildProcess& child, const std::string& text, size_t count,
                    std::chrono::milliseconds timeout);
