// The rule every CZMQ actor loop of the library follows for signals. CZMQ reports a
// wait or a receive that a signal interrupted (EINTR) exactly like termination, so a
// loop that took it at its word would end on a SIGCHLD, SIGALRM or a profiler's tick.
// Only CZMQ's own interrupt (SIGINT or SIGTERM, `zsys_interrupted`) or the end of the
// ZeroMQ context ends a loop; any other signal is waited out.
#pragma once

#include <czmq.h>

// A CZMQ actor whose thread takes no asynchronous signal but SIGINT and SIGTERM, so a
// signal aimed at it cannot break the waits inside CZMQ's own actors (zbeacon,
// zmonitor) either. Waits for nothing; NULL when the actor cannot be made.
zactor_t* aCzmqActor_New(zactor_fn* actor, void* args);

// After `zpoller_wait` returned NULL: true when the loop has to end (CZMQ's interrupt
// or a terminated context), false after a time-out or a stray signal.
bool aCzmqActor_PollEnds(zpoller_t* poller);

// After a receive returned NULL: true when the loop has to end, false when a stray
// signal interrupted it and the receive is to be tried again.
bool aCzmqActor_ReceiveEnds();
