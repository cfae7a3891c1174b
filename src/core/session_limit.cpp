#include "core/session_limit.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

#include "core/quiet_thread.h"
#include "core/run_config.h"

SessionLimit::SessionLimit(int connection, const sockaddr_in6& peer, const char* protocol)
    : connection_(connection),
      peer_(peer),
      protocol_(protocol),
      deadline_(Clock::now() + std::chrono::seconds(run_config.max_session_seconds)) {
    if (run_config.max_session_seconds > 0) {
        start_quiet_thread(watcher_, [this] { watch(); });
    }
}

SessionLimit::~SessionLimit() {
    if (!watcher_.joinable()) {
        return;
    }
    {
        const std::lock_guard hold(stop_lock_);
        stopping_ = true;
    }
    stop_signal_.notify_one();
    watcher_.join();
}

int SessionLimit::phase_seconds(int phase_seconds) const {
    if (run_config.max_session_seconds <= 0) {
        return phase_seconds;
    }
    const auto left = std::chrono::ceil<std::chrono::seconds>(deadline_ - Clock::now()).count();
    // A phase of no time would be no alarm at all; past the limit the connection is
    // being shut down anyway.
    return static_cast<int>(std::clamp<decltype(left)>(left, 1, phase_seconds));
}

void SessionLimit::watch() {
    std::unique_lock hold(stop_lock_);
    if (stop_signal_.wait_until(hold, deadline_, [this] { return stopping_; })) {
        return;
    }
    char peer[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &peer_.sin6_addr, peer, sizeof peer);
    fprintf(stderr, "--max-session: the %s session of %s has lasted %d s; ending it.\n", protocol_,
            peer, run_config.max_session_seconds);
    // Wakes the role from any wait on the connection, and fails its transfers from now on.
    shutdown(connection_, SHUT_RDWR);
}
