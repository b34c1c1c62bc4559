#include "stall_watchdog.h"

#include <unistd.h>

#include <cstdio>

#include "thread_stacks.h"

namespace testsupport {

namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The watchdog outlives any test it guards; a day is far beyond every run.
constexpr auto kLongestWatch = std::chrono::hours(24);
constexpr auto kPollEvery = std::chrono::milliseconds(100);

}  // namespace

void StallWatchdog::Participant::step(const char* what, std::chrono::milliseconds expected) {
    expectedMs_ = expected.count();
    since_ = nowMs();
    what_ = what;
}

void StallWatchdog::Participant::idle() {
    what_ = nullptr;
}

StallWatchdog::StallWatchdog(std::string context, std::chrono::milliseconds grace)
    : context_(std::move(context)), grace_(grace), thread_([this] { watch(); }) {}

StallWatchdog::~StallWatchdog() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

StallWatchdog::Participant& StallWatchdog::enroll(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    participants_.emplace_back(name);
    return participants_.back();
}

void StallWatchdog::watch() {
    const auto end = std::chrono::steady_clock::now() + kLongestWatch;
    std::unique_lock<std::mutex> guard(lock_);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
        wake_.wait_for(guard, kPollEvery);
        const int64_t now = nowMs();
        for (const Participant& participant : participants_) {
            if (!participant.what_.load()) continue;
            const int64_t ran = now - participant.since_;
            if (ran > participant.expectedMs_ + grace_.count()) reportStall(participant, ran);
        }
    }
}

void StallWatchdog::reportStall(const Participant& stuck, int64_t ranMs) {
    const int64_t now = nowMs();
    fprintf(stderr, "\n*** STALL: %s has been in \"%s\" for %lld ms (expected at most %lld ms)\n*** %s\n",
            stuck.name_.c_str(), stuck.what_.load(), static_cast<long long>(ranMs),
            static_cast<long long>(stuck.expectedMs_.load()), context_.c_str());
    for (const Participant& participant : participants_) {
        const char* what = participant.what_.load();
        if (what)
            fprintf(stderr, "    %s: \"%s\" for %lld ms\n", participant.name_.c_str(), what,
                    static_cast<long long>(now - participant.since_));
        else
            fprintf(stderr, "    %s: between steps\n", participant.name_.c_str());
    }
    printThreadStacks(getpid());
    fprintf(stderr, "*** STALL: ending the process; %s\n", context_.c_str());
    fflush(stdout);
    fflush(stderr);
    _exit(kStalledExit);
}

}  // namespace testsupport
