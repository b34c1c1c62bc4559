// Named mutexes, threads and millisecond time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <future>
#include <string>
#include <sys/time.h>
#include <thread>

#include "aError.h"
#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t elapsedUs(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

TEST(PlatformMutex, NamesUpTo255Characters) {
    const std::string longest(aMUTEX_MAX_NAME, 'n');
    aMutexRef mutex = aMutex_Create(longest.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Identifier(mutex), longest);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);

    EXPECT_EQ(aMutex_Create(std::string(aMUTEX_MAX_NAME + 1, 'n').c_str()), nullptr);

    aMutexRef unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
}

TEST(PlatformMutex, NullHandlesAreRefused) {
    aMutexRef none = nullptr;
    const std::pair<const char*, aErr (*)(aMutexRef)> operations[] = {
        {"Lock", aMutex_Lock}, {"TryLock", aMutex_TryLock}, {"Unlock", aMutex_Unlock}};
    for (const auto& op : operations) EXPECT_EQ(op.second(none), aErrParam) << op.first;
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

TEST(PlatformMutex, TryLockOfAHeldMutexIsBusy) {
    aMutexRef mutex = aMutex_Create("held");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(PlatformMutex, DestroyOfAHeldMutexKeepsIt) {
    aMutexRef mutex = aMutex_Create("busy");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    ASSERT_NE(mutex, nullptr) << "a busy mutex stays valid";
    EXPECT_STREQ(aMutex_Identifier(mutex), "busy");
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
}

// Held by another thread (so no reliance on what the C library answers for a
// destroy of a locked mutex), and again after a lock taken with TryLock.
TEST(PlatformMutex, DestroyOfAMutexHeldElsewhereIsRefused) {
    aMutexRef mutex = aMutex_Create("elsewhere");
    ASSERT_NE(mutex, nullptr);
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        aMutex_Lock(mutex);
        locked.set_value();
        release.get_future().wait();
        aMutex_Unlock(mutex);
    });
    ASSERT_EQ(locked.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    EXPECT_NE(mutex, nullptr);
    release.set_value();
    holder.join();
    ASSERT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

struct Counter {
    aMutexRef mutex;
    int value = 0;
    int rounds = 0;
};

intptr_t addUnderLock(void* ref) {
    auto* counter = static_cast<Counter*>(ref);
    for (int i = 0; i < counter->rounds; ++i) {
        if (aMutex_Lock(counter->mutex) != aErrNone) return 1;
        // Read, yield, write: without the lock another thread's update would be lost.
        const int seen = counter->value;
        if (i % 100 == 0) aThread_Yield();
        counter->value = seen + 1;
        if (aMutex_Unlock(counter->mutex) != aErrNone) return 1;
    }
    return 0;
}

TEST(PlatformThread, MutexSerialisesThreads) {
    Counter counter;
    counter.mutex = aMutex_Create("counter");
    counter.rounds = 5000;
    ASSERT_NE(counter.mutex, nullptr);
    aThreadRef threads[4];
    for (auto& thread : threads) {
        thread = aThread_Create(addUnderLock, &counter);
        ASSERT_NE(thread, nullptr);
    }
    for (auto& thread : threads) {
        EXPECT_EQ(aThread_Destroy(&thread), 0);
        EXPECT_EQ(thread, nullptr);
    }
    EXPECT_EQ(counter.value, 4 * counter.rounds);
    EXPECT_EQ(aMutex_Destroy(&counter.mutex), aErrNone);
}

intptr_t finishLate(void* ref) {
    aTime_MSSleep(50);
    static_cast<std::atomic<bool>*>(ref)->store(true);
    return 0;
}

TEST(PlatformThread, DestroyWaitsForTheProcedure) {
    std::atomic<bool> finished{false};
    aThreadRef thread = aThread_Create(finishLate, &finished);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(thread, nullptr);
}

TEST(PlatformThread, RefusedArguments) {
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    aThreadRef none = nullptr;
    EXPECT_NE(aThread_Destroy(&none), 0);
    EXPECT_NE(aThread_Destroy(nullptr), 0);
}

TEST(PlatformThread, YieldIsBrief) {
    const auto start = Clock::now();
    aThread_Yield();
    const int64_t us = elapsedUs(start);
    EXPECT_GE(us, 5);
    EXPECT_LT(us, 50000);
}

TEST(PlatformTime, WallClockMilliseconds) {
    const auto before =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const uint64_t ticks = aTime_GetMSTicks();
    const auto after =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    EXPECT_GE(ticks, static_cast<uint64_t>(before));
    EXPECT_LE(ticks, static_cast<uint64_t>(after));
}

TEST(PlatformTime, MonotonicMillisecondsFollowTheMonotonicClock) {
    struct timespec now;
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &now), 0);
    const uint64_t expected = static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    const uint64_t first = aTime_GetMonotonicMS();
    EXPECT_GE(first, expected);
    EXPECT_LE(first, expected + 100);
    aTime_MSSleep(20);
    const uint64_t second = aTime_GetMonotonicMS();
    EXPECT_GE(second, first + 20);
}

TEST(PlatformTime, SleepLastsTheTimeAsked) {
    struct Case {
        uint64_t ms;
    };
    for (const Case c : {Case{0}, Case{1}, Case{30}, Case{120}}) {
        const auto start = Clock::now();
        EXPECT_EQ(aTime_MSSleep(c.ms), 0);
        const int64_t us = elapsedUs(start);
        EXPECT_GE(us, static_cast<int64_t>(c.ms * 1000)) << c.ms;
        EXPECT_LT(us, static_cast<int64_t>(c.ms * 1000 + 200000)) << c.ms;
    }
}

void ignoreAlarm(int) {}

TEST(PlatformTime, SleepIsNotCutShortBySignals) {
    // An interval timer interrupts usleep every 15 ms; the sleep still lasts its whole time.
    struct sigaction action = {};
    action.sa_handler = ignoreAlarm;  // no SA_RESTART: usleep returns early with EINTR
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const struct itimerval every15ms = {{0, 15000}, {0, 15000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every15ms, nullptr), 0);

    const auto start = Clock::now();
    osMSSleep(100);
    const int64_t us = elapsedUs(start);

    const struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(us, 100000);
    EXPECT_LT(us, 300000);
}

}  // namespace
