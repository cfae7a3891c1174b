#include "core/receive_nap.h"

#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif

#include <ctime>

void tighten_timer_slack() {
#ifdef PR_SET_TIMERSLACK
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
}

void receive_nap() {
    constexpr timespec NAP{0, 10000};
    nanosleep(&NAP, nullptr);
}
