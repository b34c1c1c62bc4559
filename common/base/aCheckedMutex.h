// std::mutex and its scoped lock in the shape the thread-safety analysis checks
// (aThreadSafety.h); the standard library's own types carry no annotations here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "aThreadSafety.h"

class aCAPABILITY("mutex") aCheckedMutex {
public:
    void lock() aACQUIRE() {
        mutex.lock();
    }
    void unlock() aRELEASE() {
        mutex.unlock();
    }
    bool try_lock() aTRY_ACQUIRE(true) {
        return mutex.try_lock();
    }

private:
    std::mutex mutex;
};

// Holds the mutex for its scope, like std::lock_guard; the second form takes over a
// mutex the caller has just locked (try_lock).
class aSCOPED_CAPABILITY aCheckedLock {
public:
    explicit aCheckedLock(aCheckedMutex& held) aACQUIRE(held) : mutex(held) { mutex.lock(); }
    aCheckedLock(aCheckedMutex& held, std::adopt_lock_t) aREQUIRES(held) : mutex(held) {}
    ~aCheckedLock() aRELEASE() { mutex.unlock(); }
    aCheckedLock(const aCheckedLock&) = delete;
    aCheckedLock& operator=(const aCheckedLock&) = delete;

private:
    aCheckedMutex& mutex;
};

// A condition variable waited on with an aCheckedMutex held, so the analysis sees the
// mutex held across the wait: the wait lets it go and has it back before it returns.
// Waits take a deadline and no predicate (a predicate's reads would escape the
// analysis); the caller loops on its own condition.
class aCheckedCondition {
public:
    // False once the deadline has passed; true when woken (or woken spuriously).
    bool waitUntil(aCheckedMutex& mutex, std::chrono::steady_clock::time_point deadline) aREQUIRES(mutex) {
        return changed.wait_until(mutex, deadline) == std::cv_status::no_timeout;
    }
    void notifyAll() { changed.notify_all(); }

private:
    std::condition_variable_any changed;
};
