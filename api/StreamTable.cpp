// The stream table of a Link: the reader thread's filter that caches samples and queues
// callback calls, and the callback thread that makes those calls.
#include "StreamTable.h"

#include <algorithm>
#include <chrono>

#include "Link.h"
#include "StreamFilters.h"
#include "StreamProtocol.h"

namespace Veltrane {
namespace Corvalith {

namespace {

constexpr uint32_t GENERIC_MASKS = 15;

}  // namespace

StreamTable::StreamTable() : asyncQueue(QUEUE_CAPACITY) {}

StreamTable::~StreamTable() {
    releaseLink();
    stopThread();
    awaitCallbacks();
}

void StreamTable::awaitCallbacks() {
    std::vector<std::shared_future<void>> waits;
    {
        aCheckedLock guard(threadLock);
        for (const auto& left : leftThreads)
            if (left.first != std::this_thread::get_id()) waits.push_back(left.second);
    }
    // A thread abandoned from its own callback may still be inside that callback; the
    // queue and the table it was started with must outlive it.
    for (const auto& done : waits) done.wait();
}

void StreamTable::releaseLink() {
    aLinkRef linkRef = 0;
    {
        aCheckedLock guard(threadLock);
        linkRef = installedOn;
    }
    if (linkRef != 0) installStreamFilter(linkRef, false);
}

aErr StreamTable::installStreamFilter(aLinkRef linkRef, bool install) {
    if (linkRef == 0) return aErrConfiguration;
    Stopping stopping;
    aErr result = aErrNone;
    {
        aCheckedLock order(changeLock);
        result = install ? installLocked(linkRef) : removeLocked(linkRef, stopping);
    }
    finishStop(stopping);
    return result;
}

aErr StreamTable::change(aLinkRef linkRef, const std::function<void(std::map<uint64_t, StreamEntry>&)>& edit) {
    Stopping stopping;
    aErr result = aErrNone;
    {
        aCheckedLock order(changeLock);
        bool empty = false;
        {
            aCheckedLock guard(streamLock);
            edit(streams);
            empty = streams.empty();
        }
        if (linkRef == 0) return aErrConfiguration;
        result = empty ? removeLocked(linkRef, stopping) : installLocked(linkRef);
    }
    finishStop(stopping);
    return result;
}

aErr StreamTable::installLocked(aLinkRef linkRef) {
    const aErr result = streamFilters_Add(linkRef, this);
    if (result != aErrNone) return result;
    aCheckedLock guard(threadLock);
    installedOn = linkRef;
    if (!asyncThread) {
        abandoned = std::make_shared<std::atomic<bool>>(false);
        std::promise<void> done;
        threadDone = done.get_future().share();
        asyncThread = std::make_unique<std::thread>(asyncWork, &asyncQueue, asyncStop.get_future(), abandoned, drained,
                                                    std::move(done));
    }
    return aErrNone;
}

aErr StreamTable::removeLocked(aLinkRef linkRef, Stopping& stopping) {
    const aErr result = streamFilters_Remove(linkRef, this);
    {
        aCheckedLock guard(threadLock);
        if (installedOn == linkRef) installedOn = 0;
    }
    {
        aCheckedLock guard(streamLock);
        streams.clear();
    }
    stopping = takeThread();
    return result;
}

StreamTable::Stopping StreamTable::takeThread() {
    Stopping stopping;
    // Taken out under the lock, so two callers never both join or detach it.
    aCheckedLock guard(threadLock);
    if (!asyncThread) return stopping;
    stopping.thread = std::move(asyncThread);
    stopping.stop = std::move(asyncStop);
    asyncStop = std::promise<void>();
    stopping.abandon = abandoned;
    if (stopping.thread->get_id() == std::this_thread::get_id()) {
        // Stopped from its own callback: it takes no further item, so the next thread
        // need not wait for it; the table's end still does.
        auto& left = leftThreads;
        left.erase(std::remove_if(left.begin(), left.end(),
                                  [](const auto& t) {
                                      return t.second.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
                                  }),
                   left.end());
        left.emplace_back(stopping.thread->get_id(), threadDone);
    } else {
        // It empties the queue before it ends; the next thread starts taking items
        // only then.
        drained = threadDone;
    }
    return stopping;
}

void StreamTable::finishStop(Stopping& stopping) {
    if (!stopping.thread) return;
    if (stopping.thread->get_id() == std::this_thread::get_id()) {
        // Called from a callback: the thread ends once that callback returns.
        stopping.abandon->store(true);
        stopping.stop.set_value();
        stopping.thread->detach();
    } else {
        stopping.stop.set_value();
        stopping.thread->join();
    }
    stopping.thread.reset();
}

void StreamTable::stopThread() {
    Stopping stopping = takeThread();
    finishStop(stopping);
}

bool StreamTable::callbackThreadRunning() const {
    aCheckedLock guard(threadLock);
    return asyncThread != nullptr;
}

void StreamTable::queueAsyncCallback(const StreamEntry& entry, const aPacket* packet) {
    if (!entry.callback) return;
    aPacket* copy = aPacket_Copy(packet);
    if (!copy) return;
    asyncPacket item;
    item.callback = entry.callback;
    item.ref = entry.ref;
    item.packet = std::shared_ptr<aPacket>(copy, [](aPacket* p) { aPacket_Destroy(&p); });
    asyncQueue.push(std::move(item));
}

uint8_t StreamTable::filter(const aPacket* packet) {
    Link::STREAM_PACKET kind = Link::STREAM_NONE;
    if (!Link::getStreamPacketType(packet, &kind)) return 0;
    using namespace StreamProtocol;
    const uint8_t* data = packet->data;
    const uint8_t subindex = Link::isSubindexType(kind) ? data[AT_SUBINDEX] : 0;
    const uint64_t key = packKey(packet->address, data[AT_COMMAND], static_cast<uint8_t>(data[AT_OPTION] & OPTION_MASK),
                                 static_cast<uint8_t>(data[AT_INDEX] & INDEX_MASK), subindex);
    uint32_t value = 0;
    const bool decoded = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

    aCheckedLock guard(streamLock);
    auto exact = streams.find(key);
    if (exact != streams.end()) {
        queueAsyncCallback(exact->second, packet);
        if (decoded) {
            exact->second.value = value;
            exact->second.fresh = true;
        }
    }
    bool covered = false;
    for (uint32_t i = 0; i < GENERIC_MASKS; ++i) {
        auto wildcard = streams.find(key | Link::_getGenericStreamKeyMask(i));
        if (wildcard == streams.end()) continue;
        queueAsyncCallback(wildcard->second, packet);
        covered = true;
    }
    if (exact == streams.end() && covered && decoded) {
        StreamEntry entry;
        entry.key = key;
        entry.fresh = true;
        entry.value = value;
        streams.emplace(key, std::move(entry));
    }
    return 1;
}

void StreamTable::asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::future<void> stop,
                            std::shared_ptr<std::atomic<bool>> abandon, std::shared_future<void> previous,
                            std::promise<void> done) {
    // Set however the thread ends (a callback that throws ends the process anyway).
    struct Finish {
        std::promise<void>& done;
        ~Finish() { done.set_value(); }
    } finish{done};
    for (;;) {
        // Checked before the burst, so a stop request lets the queued calls run first.
        const bool stopping = stop.wait_for(std::chrono::nanoseconds(1)) == std::future_status::ready;
        if (previous.valid() && previous.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            // The thread before this one still empties the queue; a stop meanwhile leaves
            // everything to it.
            if (stopping) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        asyncPacket item;
        while (!abandon->load() && queue->pop(&item)) {
            item.callback(item.packet.get(), item.ref);
            item = asyncPacket();
        }
        if (stopping || abandon->load()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace Corvalith
}  // namespace Veltrane
