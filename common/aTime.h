// Millisecond time (Linux implementation in unix_time.cpp).
#pragma once

#include <cstdint>

// Milliseconds since the Unix epoch, from the wall clock; 0 when it cannot be read.
uint64_t aTime_GetMSTicks();
// Milliseconds from a clock that never steps; use it for every deadline and wait.
uint64_t aTime_GetMonotonicMS();
int aTime_MSSleep(uint64_t milliseconds);
