// Waiting on an event with a deadline: tests poll what they can see (a status, a log, a
// counter) with short sleeps, so a loaded machine slows them down instead of failing them.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Generous enough for a machine running the whole suite in parallel under a sanitizer.
constexpr std::chrono::milliseconds kDefaultWait{10000};

// True as soon as `ready()` holds; false when it still does not after `limit`.
// `ready()` is looked at once more after the deadline, so a slow last step still counts.
template <typename Predicate>
bool waitUntil(Predicate&& ready, std::chrono::milliseconds limit = kDefaultWait,
               std::chrono::milliseconds pause = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(pause);
    }
    return static_cast<bool>(ready());
}

// Milliseconds passed since `start`, for checks on how long a call took.
inline long msSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace testsupport
