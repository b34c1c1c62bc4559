// Millisecond time (Linux implementation in unix_time.cpp).
//
// Deadlines and waits must use aTime_GetMonotonicMS: aTime_GetMSTicks follows the
// wall clock, which jumps when the system time is set, and is only for showing time.
#pragma once

#include <cstdint>

// Milliseconds since the Unix epoch, from the wall clock; 0 when it cannot be read.
uint64_t aTime_GetMSTicks();
// Milliseconds from a clock that never steps (CLOCK_MONOTONIC); use it for every deadline.
uint64_t aTime_GetMonotonicMS();
// Sleeps the whole time, in chunks below one second; returns 0.
int aTime_MSSleep(uint64_t milliseconds);
void osMSSleep(uint64_t milliseconds);
