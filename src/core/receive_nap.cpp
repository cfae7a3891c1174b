#include "core/receive_nap.h"

#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif

void tighten_timer_slack() {
#ifdef PR_SET_TIMERSLACK
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
}

void receive_nap() {
    nanosleep(&RECEIVE_NAP, nullptr);
}
