// Two network namespaces joined by a veth pair: a client host and a server host, so that
// both can bind the same UDP port. Needs root and iproute2.
#pragma once

#include <string>
#include <vector>

#include "core/socket_setup.h"

// Full path of a program found on PATH or in the sbin folders; empty when missing.
std::string find_program(const std::string& name);

// Deletes namespaces named prefix<pid>... whose test process died before removing them.
void remove_stale_namespaces(const std::string& ip, const std::string& prefix);

// A socket that belongs to namespace name's network stack, usable from any thread.
Socket open_socket_in(const std::string& name, int type);

struct NetnsHost {
    std::string name;     // the namespace
    std::string device;   // its end of the veth
    std::string address;  // IPv6 text of that end
};

// argv as run inside host by ip, under nice at a raised priority where nice is given.
std::vector<std::string> command_in(const std::string& ip, const std::string& nice,
                                    const NetnsHost& host, const std::vector<std::string>& argv);

class NetnsPair {
   public:
    // Makes both namespaces, links them and paces the link (see netns.cpp); failure()
    // tells why when that was not possible.
    NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;
    ~NetnsPair();

    // Empty when both hosts are up.
    const std::string& failure() const { return failure_; }

    const NetnsHost& client() const { return client_; }
    const NetnsHost& server() const { return server_; }

    // argv as run inside host, at a raised priority so that other load on the machine does
    // not starve the receiving threads and show as lost datagrams: hand it to ChildProcess
    // or run_process.
    std::vector<std::string> command(const NetnsHost& host,
                                     const std::vector<std::string>& argv) const;

    // Runs argv inside host to its end; empty on success, else what went wrong.
    std::string run(const NetnsHost& host, const std::vector<std::string>& argv) const;

    // A socket that belongs to host's network stack, usable from any thread.
    Socket open_socket(const NetnsHost& host, int type) const;

   private:
    std::string set_up();
    std::string ip_;
    std::string nice_;
    std::string failure_;
    NetnsHost client_;
    NetnsHost server_;
    bool created_[2] = {false, false};
};
