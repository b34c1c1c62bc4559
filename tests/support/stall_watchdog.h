// A watchdog for stress runs: each thread that takes part says which step it is in and
// how long that step may take; a step that runs far past that is a hang. The watchdog
// then prints what every participant was doing, the run's context (its seed) and every
// thread's stack, and ends the process: the stuck threads cannot be cleaned up.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class StallWatchdog {
public:
    // The exit status of a process the watchdog ended.
    static constexpr int kStalledExit = 86;

    class Participant {
    public:
        explicit Participant(std::string name) : name_(std::move(name)) {}
        // Begins a step that normally ends within `expected`; `what` must live for ever
        // (a string literal).
        void step(const char* what, std::chrono::milliseconds expected = std::chrono::milliseconds(0));
        // Between steps: nothing to watch.
        void idle();

    private:
        friend class StallWatchdog;
        std::string name_;
        std::atomic<const char*> what_{nullptr};
        std::atomic<int64_t> since_{0};
        std::atomic<int64_t> expectedMs_{0};
    };

    // A step is a hang once it ran `grace` longer than its expected length.
    StallWatchdog(std::string context, std::chrono::milliseconds grace);
    ~StallWatchdog();
    StallWatchdog(const StallWatchdog&) = delete;
    StallWatchdog& operator=(const StallWatchdog&) = delete;

    // A new participant, valid as long as the watchdog.
    Participant& enroll(const std::string& name);

private:
    void watch();
    [[noreturn]] void reportStall(const Participant& stuck, int64_t ranMs);

    std::string context_;
    std::chrono::milliseconds grace_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::deque<Participant> participants_;
    std::thread thread_;
};

}  // namespace testsupport
