// A watchdog for long randomized tests: when the test is still running at its deadline,
// it prints the stack of every thread of the process (through gdb) and aborts, so a hang
// fails with the place it hangs in instead of running into the runner's time-out.
#pragma once

#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "process.h"

namespace testsupport {

class HangWatchdog {
public:
    // `what` is printed first (a seed, say, so the hang can be replayed).
    HangWatchdog(std::chrono::seconds limit, std::string what)
        : what_(std::move(what)), thread_([this, limit] { watch(limit); }) {}
    ~HangWatchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    HangWatchdog(const HangWatchdog&) = delete;
    HangWatchdog& operator=(const HangWatchdog&) = delete;

private:
    void watch(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, limit, [this] { return done_; })) return;
        std::fprintf(stderr, "watchdog: still running after %lld s (%s); the stack of every thread:\n",
                     static_cast<long long>(limit.count()), what_.c_str());
        std::fflush(stderr);
        prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        // gdb stops every thread of this process while it walks them, this one too: it
        // writes to a file, since no thread here could read a pipe meanwhile.
        char path[] = "/tmp/hang-watchdog-XXXXXX";
        const int file = mkstemp(path);
        if (file >= 0) {
            close(file);
            runProcess({"/bin/sh", "-c",
                        "exec /usr/bin/gdb -p " + std::to_string(getpid()) +
                            " -batch -nx -ex 'set pagination off' -ex 'thread apply all bt' >" + path + " 2>&1"},
                       std::chrono::seconds(120), {"LD_PRELOAD="});
            std::ifstream stacks(path);
            std::fprintf(stderr, "%s", std::string(std::istreambuf_iterator<char>(stacks), {}).c_str());
            unlink(path);
        }
        std::fprintf(stderr, "\nwatchdog: %s\n", what_.c_str());
        std::fflush(stderr);
        std::abort();
    }

    const std::string what_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace testsupport
