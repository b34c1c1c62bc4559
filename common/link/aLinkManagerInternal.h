// The registry entry that owns a link object (aLinkEngine.h), the holds of calls on a
// link's ID, and the registry's calls for the link server; shared by the registry
// (aLinkManagerInternal.cpp), the calls on a link's ID (aLinkCalls.cpp) and the link
// server, not by callers of the library. The registry drives the engine; the engine
// knows nothing of the registry; the calls use both.
#pragma once

#include <atomic>
#include <cstdint>

#include "aLinkEngine.h"
#include "aLinkState.h"
#include "aThreadSafety.h"

#define aLINK_PORTNAME_SIZE 100

// Names the thread-safety analysis gives the registry mutex and a call's hold on a link
// (aLinkHold): roles that calls take and require, checked by clang's -Wthread-safety.
struct aCAPABILITY("mutex") aLinkRegistryMutex{};
extern aLinkRegistryMutex aLinkRegistry;
extern aLinkRole aLinkHeld;

// aLink_SyncLink on a registered link, held for the call (the registry syncs a new USB
// link through aLink_SyncLink itself).
aErr aLink_Sync(aLinkRef id);

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
