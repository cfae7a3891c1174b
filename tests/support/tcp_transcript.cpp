#include "support/tcp_transcript.h"

#include <csignal>
#include <regex>
#include <sstream>
#include <thread>

std::string literal(std::string_view text) {
    static constexpr std::string_view SPECIAL = "\\^$.|?*+()[]{}";
    std::string escaped;
    for (const char c : text) {
        if (SPECIAL.find(c) != std::string_view::npos) {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

std::string banner_pattern() {
    return literal("\nFLENKO - Network Throughput Benchmark, Version 1.34\n") + "[^\n]*\n";
}

std::string client_run_pattern(const std::vector<std::string>& labels) {
    std::string pattern = banner_pattern() + literal("\nTCP connection established.\n");
    for (const std::string& label : labels) {
        pattern += literal("Packet size " + label + " bytes: ");
        pattern += RATE_PATTERN;
        pattern += literal(" Tx, ");
        pattern += RATE_PATTERN;
        pattern += literal(" Rx.\n");
    }
    return pattern + literal("Done.\n\n");
}

std::string served_session_pattern(const std::vector<std::string>& labels,
                                   std::string_view receive_rate) {
    std::string pattern = literal("TCP connection established ... ");
    for (const std::string& label : labels) {
        pattern += literal("\nReceiving from client, packet size " + label + " ... ");
        pattern += receive_rate;
        pattern += literal("\nSending to client, packet size " + label + " ... ");
        pattern += RATE_PATTERN;
    }
    return pattern + literal("\nDone.\nTCP server listening.\n");
}

std::string ended_session_pattern() {
    return literal("TCP connection established ... \nDone.\nTCP server listening.\n");
}

std::string tcp_server_pattern(const std::vector<std::string>& sessions) {
    std::string pattern = banner_pattern() + literal("\nTCP server listening.\n");
    for (const std::string& session : sessions) {
        pattern += session;
    }
    return pattern;
}

testing::AssertionResult FullyMatches(const std::string& text, const std::string& pattern) {
    if (std::regex_match(text, std::regex(pattern))) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "output:\n"
                                       << testing::PrintToString(text) << "\ndoes not match:\n"
                                       << testing::PrintToString(pattern);
}

testing::AssertionResult OnlyReports(const std::string& err,
                                     const std::vector<std::string>& prefixes) {
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        bool known = false;
        for (const std::string& prefix : prefixes) {
            known = known || line.starts_with(prefix);
        }
        if (!known) {
            return testing::AssertionFailure() << "unexpected report: " << line;
        }
    }
    return testing::AssertionSuccess();
}

std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& arguments) {
    struct sigaction inherited {};
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &default_action, &inherited);
    auto child = std::make_unique<ChildProcess>(arguments);
    sigaction(SIGPIPE, &inherited, nullptr);
    return child;
}

std::unique_ptr<ChildProcess> start_tcp_server(int port) {
    auto server = spawn({flenko_short_path(), "-s", "-t", "-p", std::to_string(port)});
    if (!server->wait_for_output("TCP server listening.\n", std::chrono::seconds(10))) {
        ADD_FAILURE() << "server on port " << port << " never listened; stderr: " << server->err();
        return nullptr;
    }
    return server;
}

ProcessResult run_tcp_client(const std::string& host, int port,
                             const std::vector<std::string>& options,
                             std::chrono::milliseconds timeout) {
    std::vector<std::string> arguments = {flenko_short_path(), "-t", "-p", std::to_string(port)};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(host);
    return spawn(arguments)->finish(timeout);
}

bool wait_for_count(ChildProcess& child, const std::string& text, size_t count,
                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t found = 0;
        for (size_t at = child.out().find(text); at != std::string::npos;
             at = child.out().find(text, at + text.size())) {
            ++found;
        }
        if (found >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Text that never comes: this only reads whatever arrives for a short while.
        child.wait_for_output("\x01", std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
