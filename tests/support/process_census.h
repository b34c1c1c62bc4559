// What a process holds that a finished piece of work must give back: its open
// descriptors and its threads, read from /proc/self.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

struct Census {
    std::vector<std::string> descriptors;  // "fd -> what it refers to", in fd order
    std::size_t threads = 0;

    static Census take();
    // What this census holds beyond `baseline`, one line each ("" when nothing).
    std::string beyond(const Census& baseline) const;
};

// Waits up to `limit` until this process holds no more descriptors and threads than
// `baseline` (threads end a little after they are joined elsewhere, descriptors close
// as their owners finish); answers the last census taken.
Census awaitCensusAtMost(const Census& baseline, std::chrono::milliseconds limit);

}  // namespace testsupport
