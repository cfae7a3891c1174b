// Helper threads that signals never land on.
#pragma once

#include <csignal>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>

// Starts thread running work with every signal blocked, so that a phase's alarm lands on the
// thread it is meant to interrupt. Says so and gives false when no thread can be had.
template <typename Work>
bool start_quiet_thread(std::thread& thread, Work&& work) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    bool started = true;
    try {
        thread = std::thread(std::forward<Work>(work));
    } catch (const std::system_error&) {
        puts("Cannot create additional thread.");
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}
