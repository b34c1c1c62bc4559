#include "aPoll.h"

#include <cerrno>
#include <climits>

#include "aTime.h"

int aPoll_Until(struct pollfd* fds, nfds_t count, uint64_t deadlineMs) {
    for (;;) {
        const uint64_t now = aTime_GetMonotonicMS();
        const uint64_t left = now >= deadlineMs ? 0 : deadlineMs - now;
        const int ready = poll(fds, count, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        // A wait cut at INT_MAX goes on to the deadline.
        if (ready == 0 && left > INT_MAX) continue;
        return ready;
    }
}
