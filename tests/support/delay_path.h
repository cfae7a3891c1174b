// Two network namespaces joined by flenko_delay_path: a path of a chosen round-trip time
// and, when asked, rate. Needs root, /dev/net/tun and iproute2.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/netns.h"
#include "support/process.h"

struct DelayPathShape {
    double rtt_ms = 20.0;
    double rate_mbit = 0.0;   // 0: no rate cap
    double queue_kbytes = 0;  // 0: the program's default
};

// Path of the flenko_delay_path binary of this build.
std::string delay_path_binary();

// Why flenko_delay_path cannot run here (not root, no /dev/net/tun, no iproute2); empty
// when it can.
std::string delay_path_unavailable();

// A stem no other path of this test process uses, of the form that
// remove_stale_namespaces() knows; append a letter for each namespace.
std::string fresh_delay_namespace_stem();

// The namespace prefix of fresh_delay_namespace_stem().
constexpr const char* DELAY_NAMESPACE_PREFIX = "fkd";

class DelayPath {
   public:
    // Starts the forwarder and waits until it carries packets; failure() tells why when
    // that was not possible. The forwarder also stops when the calling thread ends.
    explicit DelayPath(const DelayPathShape& shape);
    DelayPath(const DelayPath&) = delete;
    DelayPath& operator=(const DelayPath&) = delete;
    // Stops the forwarder, which removes both namespaces.
    ~DelayPath();

    // Empty when the path is up.
    const std::string& failure() const { return failure_; }

    const NetnsHost& client() const { return client_; }
    const NetnsHost& server() const { return server_; }

    // argv as run inside host, at a raised priority as NetnsPair::command() does.
    std::vector<std::string> command(const NetnsHost& host,
                                     const std::vector<std::string>& argv) const;

    // A socket that belongs to host's network stack, usable from any thread.
    Socket open_socket(const NetnsHost& host, int type) const;

    // Stops the forwarder (SIGINT) and returns how it ended, with its closing lines of
    // what each direction carried and dropped.
    ProcessResult stop();

   private:
    std::string set_up(const DelayPathShape& shape);
    std::string ip_;
    std::string nice_;
    std::string failure_;
    NetnsHost client_;
    NetnsHost server_;
    std::optional<ChildProcess> forwarder_;
    std::optional<ProcessResult> ended_;
};
