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

// Locks, always taken in this order and never the other way round:
//   1. a link's user-filter mutex (held by the link's reader thread while it runs
//      filter(), and by a caller while it installs or removes the filter);
//   2. streamLock (the table of registrations and cached values).
// threadLock (the callback thread's handle and stop signal) is never held while
// either of those is taken, nor while a callback runs or a thread is joined.
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
        std::lock_guard<std::mutex> guard(streamLock);
        return use(streams);
    }

private:
    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
    // Runs the queued calls in order until told to stop; an abandoned thread (stopped
    // from one of its own callbacks) takes no further item. `done` is set when the
    // thread ends.
    static void asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::future<void> stop,
                          std::shared_ptr<std::atomic<bool>> abandon, std::promise<void> done);
    void stopThread();

    std::map<uint64_t, StreamEntry> streams;
    mutable std::mutex streamLock;

    LocklessQueue_SPSC<asyncPacket> asyncQueue;
    mutable std::mutex threadLock;
    std::unique_ptr<std::thread> asyncThread;
    std::promise<void> asyncStop;
    std::shared_ptr<std::atomic<bool>> abandoned;
    // Set when the running callback thread has ended.
    std::shared_future<void> threadDone;
    // Threads stopped from their own callbacks and left to end on their own.
    std::vector<std::pair<std::thread::id, std::shared_future<void>>> leftThreads;
    // The link this table's filter is installed on, 0 when none.
    aLinkRef installedOn = 0;
};

}  // namespace Corvalith
}  // namespace Veltrane
