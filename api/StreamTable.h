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

class StreamTable {
public:
    static constexpr uint32_t QUEUE_CAPACITY = 500;

    StreamTable();
    // Removes the filter and ends the callback thread before the table goes.
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

    std::map<uint64_t, StreamEntry> streams;
    mutable std::mutex streamLock;

private:
    void queueAsyncCallback(const StreamEntry& entry, const aPacket* packet);
    // Runs the queued calls in order until told to stop; an abandoned thread (stopped
    // from one of its own callbacks) takes no further item.
    static void asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::future<void> stop,
                          std::shared_ptr<std::atomic<bool>> abandon);
    void stopThread();

    LocklessQueue_SPSC<asyncPacket> asyncQueue;
    std::unique_ptr<std::thread> asyncThread;
    std::promise<void> asyncStop;
    std::shared_ptr<std::atomic<bool>> abandoned;
    // The link this table's filter is installed on, 0 when none.
    aLinkRef installedOn = 0;
};

}  // namespace Corvalith
}  // namespace Veltrane
