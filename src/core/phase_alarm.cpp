#include "core/phase_alarm.h"

#include <unistd.h>

#include <csignal>

std::atomic<int> alarm_expired{0};

void on_alarm(int /*signal*/) {
    alarm(0);
    alarm_expired.store(1);
}

void start_alarm(int seconds) {
    alarm_expired.store(0);
    signal(SIGALRM, on_alarm);
    alarm(static_cast<unsigned>(seconds));
}
