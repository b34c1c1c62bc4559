// Waiting on descriptors until a deadline (Linux implementation in unix_poll.cpp).
#pragma once

#include <cstdint>
#include <poll.h>

// Polls `fds` until one of them is ready or the monotonic clock (aTime_GetMonotonicMS)
// reaches `deadlineMs`, polling again when a signal interrupts. A deadline already
// passed still looks once. poll's result: above 0 ready, 0 when the deadline came
// first, -1 on an error other than EINTR (errno tells which).
int aPoll_Until(struct pollfd* fds, nfds_t count, uint64_t deadlineMs);
