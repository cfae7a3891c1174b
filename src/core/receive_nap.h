// Napping instead of sleeping on a socket, for receivers of a fast stream.
#pragma once

#include <ctime>

// A receiver that sleeps on its socket costs whoever delivers the next bytes a wake-up of
// its thread, paid on the sender's CPU where the receive path runs in the sender's context
// (loopback, veth). While data keeps coming, a short nap, after which the receiver takes
// what arrived meanwhile, costs the sender nothing.

// Makes this thread's naps last close to their length: the default timer slack of 50 us
// would stretch each one to several times that. Per thread; a no-op where the system has
// no such control.
void tighten_timer_slack();

// A nap: long enough to gather several blocks of a fast stream, short against the time
// they take to fill a receive buffer.
constexpr timespec RECEIVE_NAP{0, 10000};

// Sleeps for RECEIVE_NAP.
void receive_nap();
