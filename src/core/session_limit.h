// A server's limit on how long one client may keep a connection (--max-session).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// From its making until its end, watches one served connection: once it has lasted
// run_config.max_session_seconds, says so on standard error and shuts the connection down,
// which ends whatever transfer is in progress as a failed one. Does nothing without a limit.
// Must end before the connection is closed.
class SessionLimit {
   public:
    SessionLimit(int connection, const sockaddr_in6& peer, const char* protocol);
    SessionLimit(const SessionLimit&) = delete;
    SessionLimit& operator=(const SessionLimit&) = delete;
    ~SessionLimit();

    // How long a phase this server sends may last: phase_seconds, or the whole seconds
    // left of the session, rounded up, if fewer.
    int phase_seconds(int phase_seconds) const;

   private:
    void watch();

    using Clock = std::chrono::steady_clock;
    int connection_;
    sockaddr_in6 peer_;
    const char* protocol_;
    Clock::time_point deadline_;
    std::mutex stop_lock_;
    std::condition_variable stop_signal_;
    bool stopping_ = false;
    std::thread watcher_;
};
