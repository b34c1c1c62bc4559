// For tests whose fault is a hang: threads caught in a deadlock cannot be unwound, so
// once its limit has passed the guard says what hung (with what replays it, a seed say),
// prints the stack of every thread, and ends the test program with a failure instead of
// leaving it to the test runner's time-out.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "thread_stacks.h"

namespace testsupport {

class HangGuard {
public:
    HangGuard(std::string what, std::chrono::seconds limit)
        : what_(std::move(what)), watcher_([this, limit] { watch(limit); }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        wake_.notify_all();
        watcher_.join();
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    void watch(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> guard(lock_);
        if (wake_.wait_for(guard, limit, [this] { return done_; })) return;
        std::fprintf(stderr, "HANG: %s did not end within %lld s\n", what_.c_str(),
                     static_cast<long long>(limit.count()));
        printThreadStacks(getpid());
        std::fprintf(stderr, "HANG: %s\n", what_.c_str());
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }

    std::string what_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watcher_;
};

}  // namespace testsupport
