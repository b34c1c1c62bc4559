// The public calls on a link's ID: each holds the link for its whole length (aLinkHold)
// and does its work on the link object through the engine.
#include "aLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "aLinkManagerInternal.h"
#include "packetfifo.h"

aErr aLink_Sync(aLinkRef id) {
    aLinkHold hold(id);
    return aLink_SyncLink(hold.link());
}

aErr aLink_ForceRoute(aLinkRef id, uint8_t value) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrNotFound;
    return aLink_QueueRoute(link, value);
}

linkStatus aLink_GetStatus(aLinkRef id) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    return link ? link->status.load() : LINK_INVALID;
}

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    return aLink_Put(link, packet);
}

aErr aLink_SetWriterOnly(aLinkRef id) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    link->writerOnly = true;
    return aErrNone;
}

aPacket* aLink_GetPacket(aLinkRef id) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

namespace {

// The time-out of a held call, waited in slices; measured finer than a millisecond,
// so that slicing never shortens it.
class HeldWait {
public:
    explicit HeldWait(uint64_t timeoutMs)
        : start(std::chrono::steady_clock::now()),
          limit(std::chrono::milliseconds(std::min<uint64_t>(timeoutMs, LONGEST_MS))) {}
    bool over() const { return std::chrono::steady_clock::now() - start >= limit; }
    uint64_t sliceMs() const {
        const auto left = limit - (std::chrono::steady_clock::now() - start);
        const auto leftMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return leftMs <= 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(leftMs), aLINK_HOLD_WAIT_SLICE_MS);
    }

private:
    // Longer than any process lives; keeps the clock arithmetic from overflowing.
    static constexpr uint64_t LONGEST_MS = 1000ull * 3600 * 24 * 365 * 100;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::duration limit;
};

}  // namespace

aPacket* aLink_AwaitPacket(aLinkRef id, uint64_t timeoutMs) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return nullptr;
    const HeldWait wait(timeoutMs);
    aPacket* result = nullptr;
    // In slices, so a destroy or reset on another thread never waits out the time-out;
    // a call that began during a reset returns at once.
    while (!hold.interrupted()) {
        result = aPacketFifo_Await(link->inFifo, wait.sliceMs());
        if (result || wait.over()) break;
    }
    return result;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc proc, const void* ref) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    return link ? aPacketFifo_GetFirst(link->inFifo, proc, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc proc, const void* ref, uint64_t timeoutMs) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return nullptr;
    const HeldWait wait(timeoutMs);
    aPacket* result = nullptr;
    while (link->running == 1 && link->status == LINK_RUNNING && !result && !wait.over() && !hold.interrupted())
        result = aPacketFifo_AwaitFirst(link->inFifo, proc, ref, wait.sliceMs());
    return result;
}

uint64_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc proc, const void* ref) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    return link ? aPacketFifo_DrainPackets(link->inFifo, proc, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilterProc proc, const void* ref) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link && !proc) return aLinkManager_AwaitFilterRemoval(id) ? aErrNone : aErrParam;
    if (!link || !link->userFilterSema) return aErrParam;
    // Another link's reader waits here for this link's filter to return: not when that
    // filter (through others) waits on this reader.
    const aLinkFilterWait waiting(hold.entry());
    if (!waiting.allowed()) return aErrBusy;
    return aLink_SetUserFilter(link, proc, ref) ? aErrNone : aErrParam;
}

// Callers on several threads may set up one link's packet log at once: its mutex and ring
// are made once, so none is lost and no thread records into a ring another replaced.
namespace {
std::mutex sPacketLogSetup;
}  // namespace

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    if (size > aPACKETLOG_MAX_SIZE) return aErrParam;
    std::lock_guard<std::mutex> setup(sPacketLogSetup);
    if (link->packetLog) return aErrBusy;
    link->packetLogSize = size < 0 ? 0 : static_cast<uint32_t>(size);
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkRef id) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> setup(sPacketLogSetup);
    if (link->packetLogSize == 0) link->packetLogSize = aPACKETLOG_DEFAULT_SIZE;
    if (!link->packetLogMutex) {
        char name[1024];
        snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        link->packetLogMutex = aMutex_Create(name);
    }
    if (!link->packetLogMutex) return aErrResource;
    aPacketLog* log = link->packetLog;
    if (!log) {
        log = aPacketLog_Create(link->packetLogSize);
        if (!log) return aErrResource;
        log->enabled = 1;
        link->packetLog = log;
        return aErrNone;
    }
    aMutex_Lock(link->packetLogMutex);
    log->enabled = 1;
    aMutex_Unlock(link->packetLogMutex);
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(aLinkRef id) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    aPacketLog* log = link->packetLog;
    if (!log) return aErrNotReady;
    aMutex_Lock(link->packetLogMutex);
    log->enabled = 0;
    aMutex_Unlock(link->packetLogMutex);
    return aErrNone;
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint32_t* direction, uint32_t* length, uint8_t* buffer) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    aPacketLog* log = link->packetLog;
    if (!log) return aErrNotReady;
    aMutex_Lock(link->packetLogMutex);
    const aErr result = aPacketLog_Get(log, direction, length, buffer);
    aMutex_Unlock(link->packetLogMutex);
    return result;
}

aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, int32_t length, const uint8_t* bytes) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    aPacketLog* log = link->packetLog;
    if (!log) return aErrNotReady;
    // The record's length field is one byte.
    if (length < 0 || length > 255 || (length > 0 && !bytes)) return aErrParam;
    aMutex_Lock(link->packetLogMutex);
    const aErr result = aPacketLog_Put(log, direction, static_cast<uint32_t>(length), bytes);
    aMutex_Unlock(link->packetLogMutex);
    return result;
}
