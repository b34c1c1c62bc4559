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
//   6. threadLock: the callback thread's handle and stop signal, never held together
//      with streamLock.
// The reader thread takes 3, 4 and 5; callers take 1 to 4 through change() and
// installStreamFilter(), 5 through withStreams(). None of them is held while a callback
// runs or a thread is joined, so a callback may change the table.
class StreamTable {
public:
    static constexpr uint32_t QUEUE_CAPACITY = 500;

    StreamTable();
    // Removes the filter and ends the callback thread before the table goes; a thread
    // that a callback of its own stopped is waited for too (unless this is it).
    ~StreamTable();
    StreamTable(const StreamTable&) = delete;
    StreamTable& operator=(const StreamTable&) = delete;

    // Installs or removes this table's filter on the link; removal clears the table and
    // stops the callback thread. No link: aErrConfiguration.
    aErr installStreamFilter(aLinkRef linkRef, bool install);
    // Edits the table and then, in one step that no other change splits, installs the
    // filter (starting the callback thread) when the table holds something, or removes
    // the filter and stops the thread when it is empty. No link: aErrConfiguration,
    // and the edit stays.
    aErr change(aLinkRef linkRef, const std::function<void(std::map<uint64_t, StreamEntry>&)>& edit);
    // Called on the reader thread; non-zero when the packet was a stream packet.
    uint8_t filter(const aPacket* packet);
    bool callbackThreadRunning() const;
    // Removes the filter from the link it is installed on, if any.
    void releaseLink();
    // Waits until a callback thread stopped from its own callback has ended (at once
    // when called on that thread).
    void awaitCallbacks();

    // Runs `use` on the table under streamLock and returns what it returns. `use` must
    // not install or remove the filter (lock order above).
    template <typename Use>
    auto withStreams(Use&& use) {
        aCheckedLock guard(streamLock);
        return use(streams);
    }

private:
    // A callback thread taken out of the table to be stopped once no lock is held.
    struct Stopping {
        std::unique_ptr<std::thread> thread;
        std::promise<void> stop;
        std::shared_ptr<std::atomic<bool>> abandon;
    };

    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
    // Waits, without taking any item, until `previous` (a thread still emptying the
    // queue) has ended, then runs the queued calls in order until told to stop; an
    // abandoned thread (stopped from one of its own callbacks) takes no further item.
    // `done` is set when the thread ends.
    static void asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::future<void> stop,
                          std::shared_ptr<std::atomic<bool>> abandon, std::shared_future<void> previous,
                          std::promise<void> done);
    // Both run with changeLock held.
    aErr installLocked(aLinkRef linkRef) aREQUIRES(changeLock);
    aErr removeLocked(aLinkRef linkRef, Stopping& stopping) aREQUIRES(changeLock);
    Stopping takeThread();
    static void finishStop(Stopping& stopping);
    void stopThread();

    std::map<uint64_t, StreamEntry> streams aGUARDED_BY(streamLock);
    mutable aCheckedMutex streamLock;

    // Held across a table change and the filter and thread decision that follows it,
    // never while a thread is joined or a callback runs.
    aCheckedMutex changeLock;
    LocklessQueue_SPSC<asyncPacket> asyncQueue;
    mutable aCheckedMutex threadLock;
    std::unique_ptr<std::thread> asyncThread aGUARDED_BY(threadLock);
    std::promise<void> asyncStop;
    std::shared_ptr<std::atomic<bool>> abandoned;
    // Set when the running callback thread has ended.
    std::shared_future<void> threadDone;
    // Set when the last thread stopped from outside has emptied the queue and ended.
    std::shared_future<void> drained;
    // Threads stopped from their own callbacks and left to end on their own.
    std::vector<std::pair<std::thread::id, std::shared_future<void>>> leftThreads aGUARDED_BY(threadLock);
    // The link this table's filter is installed on, 0 when none.
    aLinkRef installedOn aGUARDED_BY(threadLock) = 0;
};

}  // namespace Corvalith
}  // namespace Veltrane
