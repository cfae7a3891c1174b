// The one process alarm that ends every sending phase.
#pragma once

#include <atomic>

#ifndef FLENKO_PHASE_SECONDS
#define FLENKO_PHASE_SECONDS 6
#endif

// The default length of a sending phase, and the longest one may be given.
constexpr int PHASE_SECONDS = FLENKO_PHASE_SECONDS;
constexpr int MAX_PHASE_SECONDS = 3600;

// Set by the alarm handler, cleared by start_alarm; send loops test it between blocks.
extern std::atomic<int> alarm_expired;
static_assert(std::atomic<int>::is_always_lock_free, "the alarm handler writes this flag");

void start_alarm(int seconds);
void on_alarm(int signal);
