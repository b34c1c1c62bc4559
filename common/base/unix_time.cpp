// Millisecond time and sleeping.
#include "aTime.h"

#include <cstdint>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

const uint64_t sMaxSleepChunkUs = 999999;  // usleep may refuse a million or more

uint64_t sMonotonicUs() {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

uint64_t aTime_GetMSTicks() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

uint64_t aTime_GetMonotonicMS() {
    return sMonotonicUs() / 1000u;
}

void osMSSleep(uint64_t milliseconds) {
    if (milliseconds == 0) return;
    const uint64_t start = sMonotonicUs();
    const uint64_t span = milliseconds > (UINT64_MAX - start) / 1000u ? UINT64_MAX - start : milliseconds * 1000u;
    const uint64_t deadline = start + span;
    // Measured against the monotonic clock, so a signal cutting a chunk short
    // only adds another chunk and the whole time is always slept.
    for (uint64_t now = start; now < deadline; now = sMonotonicUs()) {
        const uint64_t left = deadline - now;
        usleep(static_cast<useconds_t>(left < sMaxSleepChunkUs ? left : sMaxSleepChunkUs));
    }
}

int aTime_MSSleep(uint64_t milliseconds) {
    osMSSleep(milliseconds);
    return 0;
}
