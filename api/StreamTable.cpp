// The stream table of a Link: the reader thread's filter that caches samples and queues
// callback calls, and the callback threads that make those calls one at a time.
#include "StreamTable.h"

#include <algorithm>
#include <chrono>

#include "Link.h"
#include "StreamFilters.h"
#include "StreamProtocol.h"
#include "StreamTableWaits.h"

namespace Veltrane {
namespace Corvalith {

namespace {

constexpr uint32_t GENERIC_MASKS = 15;

bool hasEnded(const std::shared_future<void>& done) {
    return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

}  // namespace

StreamTable::StreamTable() : asyncQueue(QUEUE_CAPACITY) {}

StreamTable::~StreamTable() {
    close(true);
}

void StreamTable::close(bool forGood) {
    {
        aCheckedLock order(changeLock);
        closed = true;
    }
    releaseLink();
    stopThread();
    awaitStopped(!forGood);
    if (!forGood) return;
    // What is left is the calling thread, a callback of this table that ends its own
    // Link: abandoned, it takes nothing of the table once its callback returns.
    std::vector<std::unique_ptr<std::thread>> own;
    {
        aCheckedLock guard(threadLock);
        for (auto& worker : stopped) own.push_back(std::move(worker.thread));
        stopped.clear();
    }
    for (auto& thread : own) thread->detach();
}

void StreamTable::reopen() {
    aCheckedLock order(changeLock);
    closed = false;
}

void StreamTable::awaitStopped(bool mayDecline) {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<Worker> waits;
    {
        aCheckedLock guard(threadLock);
        for (const auto& worker : stopped)
            if (worker.id != self) waits.push_back(Worker{nullptr, worker.id, worker.done});
    }
    for (const auto& worker : waits) streamTable_AwaitThreadEnd(worker.id, worker.done, mayDecline);
    joinEnded();
}

void StreamTable::joinEnded() {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::unique_ptr<std::thread>> ended;
    {
        // Taken off the list under the lock, so each is joined by one thread only.
        aCheckedLock guard(threadLock);
        for (auto it = stopped.begin(); it != stopped.end();) {
            if (it->id != self && hasEnded(it->done)) {
                ended.push_back(std::move(it->thread));
                it = stopped.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& thread : ended) thread->join();
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
        // A callback registering while its Link is destroyed.
        if (closed) return aErrConfiguration;
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
    if (closed) return aErrConfiguration;
    const aErr result = streamFilters_Add(linkRef, this);
    if (result != aErrNone) return result;
    aCheckedLock guard(threadLock);
    installedOn = linkRef;
    if (running.thread) return aErrNone;
    // A thread stopped from its own callback may still be in that callback, one stopped
    // from elsewhere may still empty the queue: the new one waits for all of them.
    std::vector<std::shared_future<void>> previous;
    for (const auto& worker : stopped)
        if (!hasEnded(worker.done)) previous.push_back(worker.done);
    abandoned = std::make_shared<std::atomic<bool>>(false);
    asyncStop = std::promise<uint64_t>();
    std::promise<void> done;
    running.done = done.get_future().share();
    running.thread = std::make_unique<std::thread>(asyncWork, &asyncQueue, asyncStop.get_future(), abandoned,
                                                   std::move(previous), std::move(done));
    running.id = running.thread->get_id();
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
    // Taken out under the lock, so two callers never both stop it.
    aCheckedLock guard(threadLock);
    if (!running.thread) return stopping;
    stopping.taken = true;
    stopping.self = running.id == std::this_thread::get_id();
    stopping.stop = std::move(asyncStop);
    // Counted after the table was emptied and its filter removed or left without
    // registrations: what the reader queues from now on is for a later registration.
    stopping.queuedBefore = asyncQueue.queued.load();
    asyncStop = std::promise<uint64_t>();
    stopping.abandon = abandoned;
    stopped.push_back(std::move(running));
    running = Worker();
    return stopping;
}

void StreamTable::finishStop(Stopping& stopping) {
    if (!stopping.taken) return;
    // Stopped from its own callback, the thread takes no further item: the calls still
    // queued are left to the next thread, which starts once this callback has returned.
    if (stopping.self) stopping.abandon->store(true);
    stopping.stop.set_value(stopping.queuedBefore);
    awaitStopped(true);
}

void StreamTable::stopThread() {
    Stopping stopping = takeThread();
    finishStop(stopping);
}

bool StreamTable::callbackThreadRunning() const {
    aCheckedLock guard(threadLock);
    return running.thread != nullptr;
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

void StreamTable::asyncWork(CallQueue* queue, std::future<uint64_t> stop,
                            std::shared_ptr<std::atomic<bool>> abandon, std::vector<std::shared_future<void>> previous,
                            std::promise<void> done) {
    // Set however the thread ends (a callback that throws ends the process anyway).
    struct Finish {
        std::promise<void>& done;
        ~Finish() { done.set_value(); }
    } finish{done};
    auto stopped = [&stop] { return stop.wait_for(std::chrono::nanoseconds(1)) == std::future_status::ready; };
    // The queue has one consumer at a time; a stop meanwhile leaves everything to the
    // threads before this one.
    for (const auto& earlier : previous)
        while (earlier.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
            if (stopped()) return;
    // Asked before every call, as the reader may keep the queue from ever running dry;
    // once stopped, the calls queued before the stop run and no others.
    bool stopping = false;
    uint64_t before = UINT64_MAX;
    for (;;) {
        asyncPacket item;
        while (!abandon->load()) {
            if (!stopping && stopped()) {
                stopping = true;
                before = stop.get();
            }
            if (!queue->popBefore(before, &item)) break;
            item.callback(item.packet.get(), item.ref);
            item = asyncPacket();
        }
        if (stopping || abandon->load()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace Corvalith
}  // namespace Veltrane
