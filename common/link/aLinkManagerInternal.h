// The link object and the registry entry that owns it; shared by the link engine
// (aLink.cpp), the registry (aLinkManagerInternal.cpp) and the calls on a link's ID
// (aLinkCalls.cpp), not by callers of the library. The engine works on the link object
// alone and knows nothing of the registry; the registry drives the engine; the calls
// use both.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "aCheckedMutex.h"
#include "aLink.h"
#include "aLinkState.h"
#include "aMutex.h"
#include "aPacketDebug.h"
#include "aThread.h"
#include "aThreadSafety.h"

#define aLINK_CHECK 0xCEEDu
#define aLINK_PORTNAME_SIZE 100

// Names the thread-safety analysis gives the registry mutex, a call's hold on a link
// (aLinkHold) and the making of a link's parts (creation or a reset's remaking): roles
// that calls take and require, checked by clang's -Wthread-safety.
struct aCAPABILITY("mutex") aLinkRegistryMutex{};
extern aLinkRegistryMutex aLinkRegistry;
struct aCAPABILITY("role") aLinkRole{};
extern aLinkRole aLinkHeld;
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
// The same on a registered link, held for the call (the registry syncs a new USB link
// through aLink_SyncLink).
aErr aLink_Sync(aLinkRef id);
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

// Link types of registry entries: the discovery transports plus 0 for a caller's stream.
enum {
    aLINK_TYPE_LEGACY = 0,
    aLINK_TYPE_USB = 1,
    aLINK_TYPE_TCPIP = 2,
    aLINK_TYPE_SERIAL = 3,
    aLINK_TYPE_CLIENT = 4,
};

// What the registry runs for a link server when the link it serves goes: at the link's
// last destroy once the link has stopped, and at exit before CZMQ closes its sockets.
typedef void (*aLinkTeardownProc)(void* ref);

struct linkEntry {
    aLinkRef id = 0;
    aLinkRef companionId = 0;
    uint32_t identifier = 0;
    uint32_t port = 0;
    uint32_t clientIndex = 0;
    int32_t type = 0;
    char portName[aLINK_PORTNAME_SIZE] = {};
    // Written under the registry mutex only (aLinkState.h says which moves are legal);
    // read without it where a stale value only delays a waiter's wake-up.
    std::atomic<aLinkState> state{aLinkState::Starting};
    int16_t useCount aGUARDED_BY(aLinkRegistry) = 0;
    // Calls in progress on this link (see aLinkHold).
    int32_t holds aGUARDED_BY(aLinkRegistry) = 0;
    // Waiters that keep the record alive while they wait on it (creators, calls waiting
    // for a reset, the exit teardown): a Gone record is freed when the last one leaves.
    int32_t pins aGUARDED_BY(aLinkRegistry) = 0;
    // Creators waiting for this entry's start: each is given a use when it starts.
    int32_t startWaiters aGUARDED_BY(aLinkRegistry) = 0;
    // The start's outcome, for those who waited on it.
    bool started aGUARDED_BY(aLinkRegistry) = false;
    // A closing of the last use is under way (it may wait for a reset to end first).
    bool closer aGUARDED_BY(aLinkRegistry) = false;
    // The closing has removed the user filter and no call of it runs any more.
    bool filterRemoved aGUARDED_BY(aLinkRegistry) = false;
    // While the link's reader thread waits on another link (joins its threads, waits
    // for its filter, its reset or its teardown): that link's ID. No wait is begun that
    // would close a circle of readers waiting on each other.
    aLinkRef readerWaitsOn aGUARDED_BY(aLinkRegistry) = 0;
    // Made for a link server: from its creation no other user takes a use of it, so
    // the server's sync actor is the only reader of its replies.
    bool served aGUARDED_BY(aLinkRegistry) = false;
    // A link server's teardown and its reference (aLinkManager_SetTeardown); a served
    // module is reached through that server's clients only.
    aLinkTeardownProc teardown aGUARDED_BY(aLinkRegistry) = nullptr;
    void* teardownRef aGUARDED_BY(aLinkRegistry) = nullptr;
    aLink* link = nullptr;
    linkEntry* next aGUARDED_BY(aLinkRegistry) = nullptr;
};

// Keeps a registered link alive for the length of one call: every public aLink_* call
// on an ID takes one for its whole body, and link-server and API code reach a link only
// through those calls. The hold is taken under the registry mutex together with the
// lookup, and what a call meets in each state is aLinkState_CallAccess: an open link is
// served; while a reset or the exit stops it, a call made on a link's reader or writer
// thread is served at once (the stop may be waiting for that very thread) and any
// other waits, keeping the entry and reading the outcome from it; while its parts are
// remade every call waits; a starting or closing link is unknown. A held call that
// waits does so in short slices and gives up once interrupted(). The link's own reader
// and writer threads take no hold for their own work, and neither does the registry's
// starting and stopping: the link stops (joins its threads) before anything is freed.
class aSCOPED_CAPABILITY aLinkHold {
public:
    explicit aLinkHold(aLinkRef id) aACQUIRE_SHARED(aLinkHeld);
    ~aLinkHold() aRELEASE();
    aLinkHold(const aLinkHold&) = delete;
    aLinkHold& operator=(const aLinkHold&) = delete;

    // The link object, or none when the ID is not registered.
    aLink* link() const;
    linkEntry* entry() const { return held; }
    // The link is being reset, stopped or destroyed, or was reset while this call began,
    // or the calling thread's own link is stopping: a waiting call should return now.
    bool interrupted() const;

private:
    linkEntry* held = nullptr;
    // The hold waited for a reset to remake the link.
    bool cutByReset = false;
};

// Longest single wait of a held call before it looks at interrupted() again.
const uint64_t aLINK_HOLD_WAIT_SLICE_MS = 20;

// Lets the calling thread wait for the filter of the held link to return (to install or
// remove one): refused (false) when the caller is a link's reader whose wait would close
// a circle of readers waiting on each other. Released when it goes.
class aLinkFilterWait {
public:
    explicit aLinkFilterWait(const linkEntry* entry);
    ~aLinkFilterWait();
    aLinkFilterWait(const aLinkFilterWait&) = delete;
    aLinkFilterWait& operator=(const aLinkFilterWait&) = delete;
    bool allowed() const { return allowed_; }

private:
    linkEntry* waiter_ = nullptr;
    bool allowed_ = true;
};

// A filter removal that meets the link closing: waits until the closing has removed the
// filter (true), so the removal still returns only once the filter has stopped running;
// false for an ID the registry does not hold.
bool aLinkManager_AwaitFilterRemoval(aLinkRef id);

// A USB link for a link server to serve: refused (0) when any user already holds a
// link to that module, since its replies would then be read by two.
aLinkRef aLinkManager_CreateServedUSB(uint32_t serialNumber);

// Link-server creation: the registered identifier (serial number) of a link, and the
// server teardown and companion an entry carries (a null proc clears the teardown).
// Each answers false for an unknown ID.
bool aLinkManager_GetIdentifier(aLinkRef id, uint32_t* identifier);
bool aLinkManager_SetTeardown(aLinkRef id, aLinkTeardownProc proc, void* ref);
bool aLinkManager_SetCompanion(aLinkRef id, aLinkRef companion);
