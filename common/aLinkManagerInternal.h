// The link object and the registry entry that owns it; shared by the link engine
// and the registry, not by callers of the library.
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
#define aLINK_PORTNAME_SIZE 100

// Names the thread-safety analysis gives the registry mutex, a call's hold on a link
// (aLinkHold) and the making of a link's parts (creation or a reset's remaking): roles
// that calls take and require, checked by clang's -Wthread-safety.
struct aCAPABILITY("mutex") aLinkRegistryMutex{};
extern aLinkRegistryMutex aLinkRegistry;
struct aCAPABILITY("role") aLinkRole{};
extern aLinkRole aLinkHeld;
extern aLinkRole aLinkMaking;

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
    // writing its packet at once (aLink_PutPacket).
    aCheckedMutex writeMutex;
    // Reader-thread state of the sync handshake.
    uint32_t syncState = 0;
    uint8_t syncByte = 0;
    uint64_t lastBurstMs = 0;
    std::chrono::steady_clock::time_point lastInput{};
    // Sync queries written and answers to them received since aLink_Sync began: tell
    // when the last answer to the burst is in.
    std::atomic<uint32_t> syncQueriesWritten{0};
    std::atomic<uint32_t> syncAnswers{0};
    // The stream answered aErrConnection: no module is behind it any more.
    std::atomic<bool> farEndGone{false};
    // Packets put on the link are written by the writer thread alone (aLink_SetWriterOnly).
    std::atomic<bool> writerOnly{false};
    aPacketFilterProc userFilter aGUARDED_BY(userFilterSema) = nullptr;
    const void* userFilterRef aGUARDED_BY(userFilterSema) = nullptr;
    aMutexRef userFilterSema = nullptr;
    // Packet log: the ring appears only after its mutex exists, and the reader and
    // writer threads record into it whenever it is there.
    std::atomic<aPacketLog*> packetLog{nullptr};
    uint32_t packetLogSize = 0;
    aMutexRef packetLogMutex = nullptr;
};

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
    int16_t useCount aGUARDED_BY(aLinkRegistry) = 0;
    // Calls in progress on this link (see aLinkHold).
    int32_t holds aGUARDED_BY(aLinkRegistry) = 0;
    // Set while the creator opens and starts the link. A second creator of the same
    // module waits until it is clear.
    bool starting aGUARDED_BY(aLinkRegistry) = true;
    // Set under the registry mutex when the last use is dropped, and from the beginning
    // to the end of a reset: held calls stop waiting, and while a reset runs no new
    // hold is given.
    std::atomic<bool> closing{false};
    std::atomic<bool> resetting{false};
    char portName[aLINK_PORTNAME_SIZE] = {};
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

// Engine operations the registry drives. aLink_Init makes the parts of a link that no
// other call can reach yet.
aLinkRef aLink_Init(aLinkRef id, aStreamRef stream) aREQUIRES(aLinkMaking) aNO_THREAD_SAFETY_ANALYSIS;
// Started by the registry only, while it makes the link or a reset remakes it.
aErr aLink_Start(aLinkRef id) aREQUIRES(aLinkMaking);
aErr aLink_Stop(aLink* link);
aErr aLink_Sync(aLinkRef id);
// The reader thread's handling of one received byte: sync handshake, packet assembly,
// heartbeat answers and delivery to the user filter or the incoming queue.
void aLink_ReceiveByte(aLink* link, uint8_t byte);
// Frees what aLink_Init made (queues, packet, mutex), the packet log and the stream;
// safe on a link that was only partly initialised.
void aLink_Release(aLink* link);

// Keeps a registered link alive for the length of one call: every public aLink_* call
// on an ID takes one for its whole body, and link-server and API code reach a link only
// through those calls. The hold is taken under the registry mutex together with the
// lookup, and the destroy that drops the last use (or a reset) waits until every other
// hold is released before it frees anything. From the moment a reset begins until it
// ends, a hold asked for waits, so however many callers keep calling, the holds the
// reset waits for only end. A held call that waits does so in short slices, is woken
// when a reset or the last destroy begins, and gives up once interrupted(). The link's
// own reader and writer threads take no hold, and neither does the registry's own
// starting and stopping: the link stops (joins its threads) before anything is freed.
enum class aLinkHoldFor {
    Call,
    // The hold of aLink_Reset: given at once, and only when no other reset runs and the
    // last use is not being dropped (else busy()); it marks the link resetting.
    Reset,
};

class aSCOPED_CAPABILITY aLinkHold {
public:
    explicit aLinkHold(aLinkRef id, aLinkHoldFor purpose = aLinkHoldFor::Call) aACQUIRE_SHARED(aLinkHeld);
    ~aLinkHold() aRELEASE();
    aLinkHold(const aLinkHold&) = delete;
    aLinkHold& operator=(const aLinkHold&) = delete;

    // The link object, or none when the ID is not registered.
    aLink* link() const;
    linkEntry* entry() const { return held; }
    // A reset hold refused: another reset runs or the last use is being dropped.
    bool busy() const { return refusedAsBusy; }
    // The link is being destroyed or reset, or was reset while this call began: a
    // waiting call should return now.
    bool interrupted() const;

private:
    linkEntry* held = nullptr;
    // The hold waited for a reset to remake the link.
    bool cutByReset = false;
    bool refusedAsBusy = false;
};

// Longest single wait of a held call before it looks at interrupted() again.
const uint64_t aLINK_HOLD_WAIT_SLICE_MS = 20;

// The entry's link object without a hold: only for the registry's own creation and
// reset of a link, whose caller owns the link's life (its only use, or the reset's
// hold). Everything else uses aLinkHold.
aLink* aLinkManager_GetLink(aLinkRef id) aREQUIRES(aLinkMaking);
// Whether the registry still holds this link object under its ID.
bool aLinkManager_IsRegistered(const aLink* link);
// Behind aLink_Reset, whose caller holds the link exactly once, with a reset hold.
aErr aLink_ResetLink(linkEntry* entry) aREQUIRES_SHARED(aLinkHeld);

// A USB link for a link server to serve: refused (0) when any user already holds a
// link to that module, since its replies would then be read by two.
aLinkRef aLinkManager_CreateServedUSB(uint32_t serialNumber);

// Link-server creation: the registered identifier (serial number) of a link, and the
// server teardown and companion an entry carries (a null proc clears the teardown).
// Each answers false for an unknown ID.
bool aLinkManager_GetIdentifier(aLinkRef id, uint32_t* identifier);
bool aLinkManager_SetTeardown(aLinkRef id, aLinkTeardownProc proc, void* ref);
bool aLinkManager_SetCompanion(aLinkRef id, aLinkRef companion);
