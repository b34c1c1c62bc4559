// The stream state of a Link: registrations and cached values by stream key, the queue
// of callback calls that the link's reader thread fills, and the callback thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "LocklessQueue.h"
#include "aCheckedMutex.h"
#include "aError.h"
#include "aLink.h"
#include "aPacket.h"

namespace Veltrane {
namespace Corvalith {

using StreamCallback = std::function<aErr(aPacket const*, void*)>;

struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    StreamCallback callback;
    void* ref = nullptr;
    uint32_t value = 0;
};

// One queued callback call; the packet copy is freed once the last holder lets go.
struct asyncPacket {
    StreamCallback callback;
    void* ref = nullptr;
    std::shared_ptr<aPacket> packet;
};

// Locks, always taken in this order and never the other way round (a lock may be
// skipped, never taken after one below it):
//   1. changeLock: one table change and the filter and thread decision after it;
//   2. the stream-filter registry lock (StreamFilters.cpp), taken by a caller that
//      adds or removes this table's filter;
//   3. the link's user-filter mutex: held by the link's reader thread while it offers
//      a packet, and by a caller while it installs or removes the link's filter;
//   4. the per-link subscriber-list lock (StreamFilters.cpp), held by the reader
//      thread while it calls filter();
//   5. streamLock: the table of registrations and cached values;
//   6. threadLock: the callback threads' handles and stop signal, never held together
//      with streamLock.
// The reader thread takes 3, 4 and 5; callers take 1 to 4 through change() and
// installStreamFilter(), 5 through withStreams(). None of them is held while a callback
// runs or a thread is waited for, so a callback may change the table.
//
// Callback threads: at most one delivers at a time. A stopped thread is kept until it
// has ended and been joined, by exactly one thread and never by itself; a new thread
// takes no item before every thread stopped before it has ended. A stopped thread runs
// only the calls queued before its stop, so a stop ends even while the reader keeps the
// queue full for a registration made after it: the later calls are the next thread's.
class StreamTable {
public:
    static constexpr uint32_t QUEUE_CAPACITY = 500;

    StreamTable();
    // close(true), then frees the queue and the table.
    ~StreamTable();
    StreamTable(const StreamTable&) = delete;
    StreamTable& operator=(const StreamTable&) = delete;

    // Installs or removes this table's filter on the link; removal clears the table and
    // stops the callback thread. No link: aErrConfiguration.
    aErr installStreamFilter(aLinkRef linkRef, bool install);
    // Edits the table and then, in one step that no other change splits, installs the
    // filter (starting the callback thread) when the table holds something, or removes
    // the filter and stops the thread when it is empty. No link: aErrConfiguration,
    // and the edit stays. Once the table is closed: aErrConfiguration, no edit.
    aErr change(aLinkRef linkRef, const std::function<void(std::map<uint64_t, StreamEntry>&)>& edit);
    // Called on the reader thread; non-zero when the packet was a stream packet.
    uint8_t filter(const aPacket* packet);
    bool callbackThreadRunning() const;
    // Removes the filter from the link it is installed on, if any.
    void releaseLink();
    // Before the Link gives up its link: refuses every later change until reopen(),
    // removes the filter and waits until every callback thread but the calling one has
    // ended, so no callback runs, or registers again, while the link goes. For the
    // table's end (`forGood`) it waits for each thread whatever that thread waits for;
    // a callback that ends its own Link leaves its thread to end when it returns, and
    // the thread touches nothing of the table then.
    void close(bool forGood);
    void reopen();

    // Runs `use` on the table under streamLock and returns what it returns. `use` must
    // not install or remove the filter (lock order above).
    template <typename Use>
    auto withStreams(Use&& use) {
        aCheckedLock guard(streamLock);
        return use(streams);
    }

private:
    // The queue of callback calls with the count of calls ever queued and ever taken:
    // the reader thread is its one producer, the callback threads its consumers, one
    // at a time. Calls leave in the order they came, so a call's place is its number.
    struct CallQueue {
        explicit CallQueue(uint32_t capacity) : items(capacity) {}
        LocklessQueue_SPSC<asyncPacket> items;
        std::atomic<uint64_t> queued{0};
        std::atomic<uint64_t> taken{0};

        void push(asyncPacket item) {
            if (items.push(std::move(item))) ++queued;
        }
        // Takes the next call if it is one of the first `before` calls ever queued.
        bool popBefore(uint64_t before, asyncPacket* item) {
            if (taken.load() >= before || !items.pop(item)) return false;
            ++taken;
            return true;
        }
    };

    // A callback thread from its start until it has been joined.
    struct Worker {
        std::unique_ptr<std::thread> thread;
        std::thread::id id;
        std::shared_future<void> done;
    };
    // The stop signals of the thread that was running, sent once no lock is held.
    struct Stopping {
        bool taken = false;
        bool self = false;
        // Tells the thread how many calls had been queued when it was stopped.
        std::promise<uint64_t> stop;
        uint64_t queuedBefore = 0;
        std::shared_ptr<std::atomic<bool>> abandon;
    };

    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
    // Waits, without taking any item, until every thread in `previous` has ended, then
    // runs the queued calls in order until told to stop, and then the calls queued
    // before the stop; stopped while it still waits, it ends at once. An abandoned
    // thread (stopped from one of its own callbacks) takes no further item. `done` is
    // set when the thread ends.
    static void asyncWork(CallQueue* queue, std::future<uint64_t> stop,
                          std::shared_ptr<std::atomic<bool>> abandon, std::vector<std::shared_future<void>> previous,
                          std::promise<void> done);
    // Both run with changeLock held.
    aErr installLocked(aLinkRef linkRef) aREQUIRES(changeLock);
    aErr removeLocked(aLinkRef linkRef, Stopping& stopping) aREQUIRES(changeLock);
    // Moves the running thread to the stopped ones.
    Stopping takeThread();
    void finishStop(Stopping& stopping);
    void stopThread();
    // Waits until every stopped thread but the calling one has ended, then joins them;
    // with `mayDecline`, not for one that waits for the caller's own end
    // (StreamTableWaits.h), which is left to end on its own.
    void awaitStopped(bool mayDecline);
    // Joins the stopped threads that have ended, other than the calling one.
    void joinEnded();

    std::map<uint64_t, StreamEntry> streams aGUARDED_BY(streamLock);
    mutable aCheckedMutex streamLock;

    // Held across a table change and the filter and thread decision that follows it,
    // never while a thread is waited for or a callback runs.
    aCheckedMutex changeLock;
    // Set by close(): no change is made, and no filter or thread started, until reopen().
    bool closed aGUARDED_BY(changeLock) = false;
    CallQueue asyncQueue;
    mutable aCheckedMutex threadLock;
    // The running thread and what stops it.
    Worker running aGUARDED_BY(threadLock);
    std::promise<uint64_t> asyncStop aGUARDED_BY(threadLock);
    std::shared_ptr<std::atomic<bool>> abandoned aGUARDED_BY(threadLock);
    // Stopped threads not yet joined: some may still empty the queue or run a callback.
    std::vector<Worker> stopped aGUARDED_BY(threadLock);
    // The link this table's filter is installed on, 0 when none.
    aLinkRef installedOn aGUARDED_BY(threadLock) = 0;
};

}  // namespace Corvalith
}  // namespace Veltrane
