// The link object and the engine's operations on it: a link's stream, queues, reader
// and writer threads, sync state, user filter and packet log. The engine (aLink.cpp)
// includes this header and nothing of the registry; the registry
// (aLinkManagerInternal.h) owns link objects and drives the engine through it. Not for
// callers of the library.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "aCheckedMutex.h"
#include "aLink.h"
#include "aMutex.h"
#include "aPacketDebug.h"
#include "aThread.h"
#include "aThreadSafety.h"

#define aLINK_CHECK 0xCEEDu

// The making of a link's parts (creation or a reset's remaking): a role that the
// registry takes and the engine requires, checked by clang's -Wthread-safety.
struct aCAPABILITY("role") aLinkRole{};
extern aLinkRole aLinkMaking;

// Where the reader is in a sync: not syncing; syncing packet by packet (the stream was
// in step when the sync began, so packets stay whole and answers are whole packets);
// or byte by byte (after a framing error, looking for two answers in a row).
enum class aLinkSyncPhase : uint8_t { None, Framed, Bytes };

struct aLink {
    uint16_t check = 0;
    aLinkRef id = 0;
    std::atomic<uint8_t> running{0};
    std::atomic<linkStatus> status{LINK_STOPPED};
    uint64_t inFifo = 0;
    aPacket* rxPacket = nullptr;
    uint64_t outFifo = 0;
    aThreadRef inThread = nullptr;
    aThreadRef outThread = nullptr;
    aThreadProc inProc = nullptr;
    aThreadProc outProc = nullptr;
    std::atomic<uint8_t> inAlive{0};
    std::atomic<uint8_t> outAlive{0};
    aStreamRef stream = nullptr;
    // Held by whoever writes a packet to the stream: the writer thread, or a caller
    // writing its packet at once (aLink_Put).
    aCheckedMutex writeMutex;
    // Reader-thread state of the sync handshake.
    uint32_t syncState = 0;
    uint8_t syncByte = 0;
    aLinkSyncPhase syncPhase = aLinkSyncPhase::None;
    // Whether the bytes read so far split into whole packets: true from the stream's
    // start, false from a framing error until a sync has found the packets again.
    bool inStep = true;
    // Answers to the current packet-by-packet sync's bursts.
    uint32_t framedAnswers = 0;
    uint64_t lastBurstMs = 0;
    std::chrono::steady_clock::time_point lastInput{};
    // Answers still owed to the sync queries written: the reader drops that many probe
    // answers whenever they come, so none reaches a caller, until owedUntilMs passes
    // without a new burst (a module that never answered some).
    std::atomic<uint32_t> owedAnswers{0};
    std::atomic<uint64_t> owedUntilMs{0};
    // The stream answered aErrConnection: no module is behind it any more.
    std::atomic<bool> farEndGone{false};
    // Packets put on the link are written by the writer thread alone (aLink_SetWriterOnly).
    std::atomic<bool> writerOnly{false};
    aPacketFilterProc userFilter aGUARDED_BY(userFilterSema) = nullptr;
    const void* userFilterRef aGUARDED_BY(userFilterSema) = nullptr;
    aMutexRef userFilterSema = nullptr;
    // Set when the last use is dropped: the reader calls no filter after that.
    std::atomic<bool> filterRetired{false};
    // Packet log: the ring appears only after its mutex exists, and the reader and
    // writer threads record into it whenever it is there.
    std::atomic<aPacketLog*> packetLog{nullptr};
    uint32_t packetLogSize = 0;
    aMutexRef packetLogMutex = nullptr;
};

// Engine operations, on the link object. aLink_Init makes the parts of a link that no
// other call can reach yet; aLink_Start runs its threads. Both only while the registry
// makes the link or a reset remakes it.
void aLink_Init(aLink* link, aLinkRef id, aStreamRef stream) aREQUIRES(aLinkMaking) aNO_THREAD_SAFETY_ANALYSIS;
aErr aLink_Start(aLink* link) aREQUIRES(aLinkMaking);
// Ends and joins both threads; with routeOff the route-off packet is written first.
aErr aLink_Stop(aLink* link, bool routeOff);
// Brings the stream in step with the module: a burst of probes, two answers.
aErr aLink_SyncLink(aLink* link);
aErr aLink_QueueRoute(aLink* link, uint8_t value);
// Sends a caller's packet: written at once when nothing is queued before it, else queued.
aErr aLink_Put(aLink* link, const aPacket* packet);
// Sets the user filter. On the link's own reader thread (inside the filter, which holds
// the filter mutex) the new filter takes over from the next packet; anywhere else the
// call waits until the filter running now has returned. A filter is refused (false)
// once the link's filter is retired (its last use is being dropped).
bool aLink_SetUserFilter(aLink* link, aPacketFilterProc proc, const void* ref);
// The reader thread's handling of one received byte: sync handshake, packet assembly,
// heartbeat answers and delivery to the user filter or the incoming queue.
void aLink_ReceiveByte(aLink* link, uint8_t byte);
// Frees what aLink_Init made (queues, packet, mutex), the packet log and the stream;
// safe on a link that was only partly initialised.
void aLink_Release(aLink* link);
// The link whose reader or writer thread calls this, or none.
const aLink* aLink_ThreadLink();
bool aLink_IsReaderOf(const aLink* link);
