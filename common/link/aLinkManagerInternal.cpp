// The process-wide registry of links: IDs, use counts, creation by transport, and the
// life of each entry through the states of aLinkState.h (starting, open, a reset's
// stopping and remaking, closing, gone) with the waits between them.
#include "aLink.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "aLinkManagerInternal.h"
#include "aLinkSharing.h"
#include "aSerialBaud.h"
#include "aStreamsocket.h"
#include "aTime.h"
#include "aTrace.h"
#include "unix_streamserial.h"
#include "unix_streamusb.h"

aLinkRegistryMutex aLinkRegistry;
aLinkRole aLinkHeld;

namespace {

const uint32_t TRACE_REGISTRY = 0x1;
const uint32_t LEGACY_IDENTIFIER = 0xFFFFFFFFu;
const int RESET_ATTEMPTS = 20;
const uint64_t RESET_RETRY_MS = 100;
// Longer than any chain of readers waiting on each other can be (every link has one).
const int WAIT_CHAIN_LIMIT = 100000;

struct Registry {
    linkEntry* head aGUARDED_BY(aLinkRegistry) = nullptr;
    aLinkRef nextID aGUARDED_BY(aLinkRegistry) = 1;
    // Set when the process begins to exit: creates and resets fail from then on.
    bool exiting aGUARDED_BY(aLinkRegistry) = false;
    aMutexRef mutex = nullptr;
    // Signalled at every move of an entry, every hold released and every pin let go.
    std::condition_variable_any changed;
};

// Made on first use (thread-safe static initialisation) and never torn down, so
// link threads still running at exit never meet a destroyed registry.
Registry& sRegistry() {
    static Registry* registry = [] {
        auto* made = new Registry;
        made->mutex = aMutex_Create("aLink_Managed");
        return made;
    }();
    return *registry;
}

// The registry mutex is aLinkRegistry to the analysis: these two take it.
class aSCOPED_CAPABILITY RegistryLock {
public:
    RegistryLock() aACQUIRE(aLinkRegistry) aNO_THREAD_SAFETY_ANALYSIS { aMutex_Lock(sRegistry().mutex); }
    ~RegistryLock() aRELEASE() aNO_THREAD_SAFETY_ANALYSIS { aMutex_Unlock(sRegistry().mutex); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
};

// The registry mutex in the shape a condition variable waits on.
struct RegistryMutex {
    void lock() aNO_THREAD_SAFETY_ANALYSIS { aMutex_Lock(sRegistry().mutex); }
    void unlock() aNO_THREAD_SAFETY_ANALYSIS { aMutex_Unlock(sRegistry().mutex); }
};

// The registry mutex held for waits on `changed`, which give it up while they wait.
class aSCOPED_CAPABILITY RegistryWaitLock {
public:
    RegistryWaitLock() aACQUIRE(aLinkRegistry) aNO_THREAD_SAFETY_ANALYSIS : lock(mutex) {}
    ~RegistryWaitLock() aRELEASE() aNO_THREAD_SAFETY_ANALYSIS {}
    void wait() aREQUIRES(aLinkRegistry) { sRegistry().changed.wait(lock); }
    RegistryWaitLock(const RegistryWaitLock&) = delete;
    RegistryWaitLock& operator=(const RegistryWaitLock&) = delete;

private:
    RegistryMutex mutex;
    std::unique_lock<RegistryMutex> lock;
};

// Making a link's parts (aLinkMaking): no lock, a role the analysis checks.
class aSCOPED_CAPABILITY LinkMaking {
public:
    LinkMaking() aACQUIRE(aLinkMaking) aNO_THREAD_SAFETY_ANALYSIS {}
    ~LinkMaking() aRELEASE() aNO_THREAD_SAFETY_ANALYSIS {}
    LinkMaking(const LinkMaking&) = delete;
    LinkMaking& operator=(const LinkMaking&) = delete;
};

// Every move of an entry goes through here: a move the machine does not have is a fault
// of the registry itself, and the process stops at it rather than run on with a
// lifetime nobody can reason about.
void sMove(linkEntry* entry, aLinkState to) aREQUIRES(aLinkRegistry) {
    const aLinkState from = entry->state;
    if (!aLinkState_CanMove(from, to)) {
        fprintf(stderr, "link %u: no move from %s to %s\n", static_cast<unsigned>(entry->id), aLinkState_Name(from),
                aLinkState_Name(to));
        abort();
    }
    entry->state = to;
    sRegistry().changed.notify_all();
}

// What names one module: the transport, its identifier, and the TCP port or the
// serial port path, so a second module on the same host or a USB serial that
// happens to equal an IPv4 word is never taken for an existing link.
struct ModuleKey {
    int32_t type;
    uint32_t identifier;
    uint32_t port;
    const char* portName;
};

bool sMatches(const linkEntry* entry, const ModuleKey& key) {
    if (entry->type != key.type || entry->identifier != key.identifier) return false;
    if (key.type == aLINK_TYPE_TCPIP) return entry->port == key.port;
    if (key.type == aLINK_TYPE_SERIAL) return strncmp(entry->portName, key.portName, aLINK_PORTNAME_SIZE) == 0;
    return true;
}

// A transport whose link holds a device of its own until it is torn down: a second
// link to the module cannot open it meanwhile.
bool sHoldsADevice(int32_t type) {
    return type == aLINK_TYPE_USB || type == aLINK_TYPE_SERIAL;
}

// Every entry not yet gone, whatever its state.
linkEntry* sLookupEntryByID(aLinkRef id) aREQUIRES(aLinkRegistry) {
    for (linkEntry* entry = sRegistry().head; entry; entry = entry->next)
        if (entry->id == id) return entry;
    return nullptr;
}

// The module's entry that is not closing, else one that is (a newer one is made only
// once a closing one is gone or lets its module be opened again).
linkEntry* sLookupEntryByKey(const ModuleKey& key) aREQUIRES(aLinkRegistry) {
    linkEntry* closing = nullptr;
    for (linkEntry* entry = sRegistry().head; entry; entry = entry->next) {
        if (!sMatches(entry, key)) continue;
        if (entry->state != aLinkState::Closing) return entry;
        if (!closing) closing = entry;
    }
    return closing;
}

void sUnlinkEntry(linkEntry* entry) aREQUIRES(aLinkRegistry) {
    for (linkEntry** slot = &sRegistry().head; *slot; slot = &(*slot)->next) {
        if (*slot == entry) {
            *slot = entry->next;
            entry->next = nullptr;
            return;
        }
    }
}

// A gone record is freed once nobody waits on it any more.
void sUnpin(linkEntry* entry) aREQUIRES(aLinkRegistry) {
    --entry->pins;
    sRegistry().changed.notify_all();
    if (entry->state == aLinkState::Gone && entry->pins == 0 && entry->holds == 0) delete entry;
}

// The entry whose link's reader or writer thread is calling, or none.
linkEntry* sThreadEntry() aREQUIRES(aLinkRegistry) {
    const aLink* own = aLink_ThreadLink();
    if (!own) return nullptr;
    linkEntry* entry = sLookupEntryByID(own->id);
    return entry && entry->link == own ? entry : nullptr;
}

// Whether a wait of the waiter's reader on the target's reader would close a circle:
// the target is the waiter, or waits (through others) on it. Each reader waits on one
// link at most, and an edge is added only after this check under the registry mutex,
// so no circle ever forms.
bool sWouldCircle(const linkEntry* waiter, const linkEntry* target) aREQUIRES(aLinkRegistry) {
    const linkEntry* at = target;
    for (int step = 0; at && step < WAIT_CHAIN_LIMIT; ++step) {
        if (at == waiter) return true;
        if (!at->readerWaitsOn) return false;
        at = sLookupEntryByID(at->readerWaitsOn);
    }
    return false;
}

// The calling thread's reader waits on the target from now until it is cleared.
void sBeginReaderWait(linkEntry* waiter, const linkEntry* target) aREQUIRES(aLinkRegistry) {
    if (waiter) waiter->readerWaitsOn = target->id;
}

void sEndReaderWait(linkEntry* waiter) aREQUIRES(aLinkRegistry) {
    if (waiter) waiter->readerWaitsOn = 0;
}

// A link server's teardown, run once its served link has stopped (at the link's last
// destroy or at exit), and cleared so it never runs twice.
void sRunTeardown(linkEntry* entry) {
    aLinkTeardownProc teardown = nullptr;
    void* ref = nullptr;
    {
        RegistryLock lock;
        teardown = entry->teardown;
        ref = entry->teardownRef;
        entry->teardown = nullptr;
        entry->teardownRef = nullptr;
    }
    if (teardown) teardown(ref);
}

aErr sReopenStream(const linkEntry* entry, aStreamRef* stream) {
    switch (entry->type) {
    case aLINK_TYPE_USB:
        return aStream_CreateUSB(entry->identifier, stream);
    case aLINK_TYPE_TCPIP:
        return aStream_CreateSocket(entry->identifier, static_cast<uint16_t>(entry->port), stream);
    case aLINK_TYPE_CLIENT:
        return aLinkSharing_CreateClientStream(entry->identifier, static_cast<uint16_t>(entry->port), stream);
    default:
        aTrace(TRACE_REGISTRY, " recreate invalid stream type\n");
        return aErrParam;
    }
}

// A link its users hold: started, and its last use not dropped.
bool sInUse(aLinkState state) {
    return aLinkState_CreatorStep(state, false) == aLinkCreatorStep::Share;
}

// A link whose last use was dropped while a reset ran closes as soon as the reset ends:
// calls, creators and resets take it for closing already.
aLinkState sSeenState(const linkEntry* entry) aREQUIRES(aLinkRegistry) {
    return entry->closer ? aLinkState::Closing : entry->state.load();
}

bool sCanReopen(int32_t type) {
    return type == aLINK_TYPE_USB || type == aLINK_TYPE_TCPIP || type == aLINK_TYPE_CLIENT;
}

// A use of an existing link for this module, or a new starting entry holding the
// caller's use; `created` tells which. What a creator does on meeting the module's
// entry is aLinkState_CreatorStep: share it, wait for its start (and be given a use by
// it), or wait until a closing link has let its device go and look again. A link for a
// server is only ever a new one.
aLinkRef sAcquire(const ModuleKey& key, bool& created, bool forServer = false) {
    RegistryWaitLock lock;
    created = false;
    const bool keyed = key.type != aLINK_TYPE_LEGACY && key.type != aLINK_TYPE_CLIENT;
    for (;;) {
        if (sRegistry().exiting) return 0;
        linkEntry* existing = keyed ? sLookupEntryByKey(key) : nullptr;
        if (!existing) break;
        // A last use dropped during a reset closes once the reset has opened the stream
        // again; a module takes one host connection at a time, so a link made meanwhile
        // would lose its connection to that reopening: wait until the old one is gone.
        const bool closesAfterReset = existing->closer && (existing->state == aLinkState::Stopping ||
                                                           existing->state == aLinkState::Remaking);
        const aLinkCreatorStep step = closesAfterReset
                                          ? aLinkCreatorStep::AwaitGone
                                          : aLinkState_CreatorStep(sSeenState(existing), sHoldsADevice(key.type));
        if (step == aLinkCreatorStep::MakeAnother) break;
        if (forServer && step != aLinkCreatorStep::AwaitGone) {
            aTrace(TRACE_REGISTRY, "This device is already in use; it cannot be shared as a \"SERVER\"\n");
            return 0;
        }
        if (step == aLinkCreatorStep::AwaitGone) {
            // The teardown waits on the closing link's reader: a reader does not wait
            // here for one that waits on it.
            linkEntry* waiter = sThreadEntry();
            if (waiter && sWouldCircle(waiter, existing)) return 0;
            ++existing->pins;
            sBeginReaderWait(waiter, existing);
            while (existing->state != aLinkState::Gone) lock.wait();
            sEndReaderWait(waiter);
            sUnpin(existing);
            continue;
        }
        // A served module is reached through its server's clients only.
        if (existing->served || existing->teardown) {
            aTrace(TRACE_REGISTRY, "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" \n");
            return 0;
        }
        if (step == aLinkCreatorStep::Share) {
            ++existing->useCount;
            return existing->id;
        }
        // The start gives every creator waiting on it a use, so the link is theirs even
        // when its creator drops its own at once.
        ++existing->pins;
        ++existing->startWaiters;
        while (existing->state == aLinkState::Starting) lock.wait();
        const bool started = existing->started;
        const aLinkRef id = existing->id;
        sUnpin(existing);
        return started ? id : 0;
    }
    auto* entry = new (std::nothrow) linkEntry;
    auto* link = new (std::nothrow) aLink;
    if (!entry || !link) {
        delete entry;
        delete link;
        return 0;
    }
    entry->id = sRegistry().nextID++;
    entry->identifier = key.identifier;
    entry->port = key.port;
    entry->type = key.type;
    if (key.portName) {
        strncpy(entry->portName, key.portName, aLINK_PORTNAME_SIZE - 1);
        entry->portName[aLINK_PORTNAME_SIZE - 1] = '\0';
    }
    entry->useCount = 1;
    entry->served = forServer;
    entry->link = link;
    link->id = entry->id;
    entry->next = sRegistry().head;
    sRegistry().head = entry;
    created = true;
    return entry->id;
}

linkEntry* sEntryOf(aLinkRef id) {
    RegistryLock lock;
    return sLookupEntryByID(id);
}

// Starts a freshly registered link over its stream. On success the creators that waited
// on the start are each given a use; on any failure the entry, its half-made link and
// the stream are torn down and those creators fail too.
aLinkRef sStartNewLink(aLinkRef id, aStreamRef stream, aErr openResult, bool syncAfterStart) {
    linkEntry* entry = sEntryOf(id);
    aLink* link = entry->link;
    aErr err = openResult;
    {
        const LinkMaking making;
        aLink_Init(link, id, stream);
        if (err == aErrNone && !stream) err = aErrConnection;
        if (err == aErrNone) err = aLink_Start(link);
    }
    if (err == aErrNone && syncAfterStart) {
        err = aLink_SyncLink(link);
        if (err == aErrNone) err = aLink_QueueRoute(link, 1);
    }
    if (err == aErrNone) {
        RegistryLock lock;
        entry->started = true;
        if (!entry->served) entry->useCount = static_cast<int16_t>(entry->useCount + entry->startWaiters);
        entry->startWaiters = 0;
        sMove(entry, aLinkState::Open);
        return id;
    }
    aTrace(TRACE_REGISTRY, " error creating Link, destroying the id (%d)\n", static_cast<int>(id));
    {
        RegistryLock lock;
        sMove(entry, aLinkState::Closing);
    }
    // Nobody else reached the link: no filter, no hold.
    aLink_Stop(link, false);
    aLink_Release(link);
    link->check = 0;
    delete link;
    RegistryLock lock;
    entry->link = nullptr;
    entry->started = false;
    sUnlinkEntry(entry);
    sMove(entry, aLinkState::Gone);
    ++entry->pins;
    sUnpin(entry);
    return 0;
}

// Tears the last use down once any reset under way has ended. Runs on the destroying thread, or on a thread of its own when the
// destroying thread is a reader that must not wait on this link (its own, or one that
// waits on it). `waiter` is the calling reader's entry, marked waiting on this one.
void sClose(linkEntry* entry, linkEntry* waiter) {
    {
        RegistryWaitLock lock;
        while (!aLinkState_CanClose(entry->state)) lock.wait();
        sMove(entry, aLinkState::Closing);
    }
    aLink* link = entry->link;
    // Never called again from now; removed once the call running now has returned.
    link->filterRetired = true;
    if (link->userFilterSema) aLink_SetUserFilter(link, nullptr, nullptr);
    {
        RegistryLock lock;
        entry->filterRemoved = true;
        sRegistry().changed.notify_all();
    }
    // Calls still running (a waiter on another thread) end before anything of the link
    // is freed; waiting ones are woken to see it closing.
    aPacketFifo_WakeWaiters(link->inFifo);
    {
        RegistryWaitLock lock;
        while (entry->holds > 0) lock.wait();
    }
    aLink_Stop(link, false);
    sRunTeardown(entry);
    aLinkRef companion = entry->companionId;
    {
        RegistryLock lock;
        sEndReaderWait(waiter);
    }
    if (companion) aLink_Destroy(&companion);
    aLink_Release(link);
    link->check = 0;
    delete link;
    RegistryLock lock;
    entry->link = nullptr;
    sUnlinkEntry(entry);
    sMove(entry, aLinkState::Gone);
    sUnpin(entry);
}

// Gives the closing to a thread of its own; the caller returns at once.
void sCloseApart(linkEntry* entry) {
    try {
        std::thread([entry] { sClose(entry, nullptr); }).detach();
    } catch (...) {
        aTrace(TRACE_REGISTRY, " could not start the teardown of link %d\n", static_cast<int>(entry->id));
    }
}

}  // namespace

// The hold is a role to the analysis (aLinkHeld), taken even when no link is held.
aLinkHold::aLinkHold(aLinkRef id) aNO_THREAD_SAFETY_ANALYSIS {
    if (id == 0) return;
    RegistryWaitLock lock;
    linkEntry* entry = sLookupEntryByID(id);
    if (!entry || !entry->link) return;
    const bool onALinkThread = aLink_ThreadLink() != nullptr;
    bool pinned = false;
    for (;;) {
        const aLinkCallAccess access = aLinkState_CallAccess(sSeenState(entry), onALinkThread);
        if (access == aLinkCallAccess::Served && entry->link) {
            ++entry->holds;
            held = entry;
            break;
        }
        if (access != aLinkCallAccess::Waits) break;
        // Kept alive and read again after each wait, never looked up again: a call that
        // waited began during the reset and is interrupted by it like one running.
        if (!pinned) ++entry->pins;
        pinned = true;
        cutByReset = true;
        lock.wait();
    }
    if (pinned) sUnpin(entry);
}

aLinkHold::~aLinkHold() aNO_THREAD_SAFETY_ANALYSIS {
    if (!held) return;
    RegistryLock lock;
    --held->holds;
    sRegistry().changed.notify_all();
}

aLink* aLinkHold::link() const {
    return held ? held->link : nullptr;
}

bool aLinkHold::interrupted() const {
    if (!held) return false;
    if (cutByReset || held->state != aLinkState::Open) return true;
    // A filter waiting on another link never holds up its own link's stop.
    const aLink* own = aLink_ThreadLink();
    return own && own->running == 0;
}

bool aLinkManager_AwaitFilterRemoval(aLinkRef id) {
    if (id == 0) return false;
    RegistryWaitLock lock;
    linkEntry* entry = sLookupEntryByID(id);
    if (!entry || sSeenState(entry) != aLinkState::Closing) return false;
    linkEntry* waiter = sThreadEntry();
    // The closing link's own reader runs the filter itself; a reader whose wait would
    // close a circle is not kept either.
    if (waiter == entry || (waiter && sWouldCircle(waiter, entry))) return true;
    ++entry->pins;
    sBeginReaderWait(waiter, entry);
    while (!entry->filterRemoved && entry->state != aLinkState::Gone) lock.wait();
    sEndReaderWait(waiter);
    sUnpin(entry);
    return true;
}

aLinkFilterWait::aLinkFilterWait(const linkEntry* entry) {
    RegistryLock lock;
    linkEntry* waiter = sThreadEntry();
    // The link's own reader holds its filter mutex already: no wait.
    if (!waiter || waiter == entry) return;
    if (sWouldCircle(waiter, entry)) {
        allowed_ = false;
        return;
    }
    sBeginReaderWait(waiter, entry);
    waiter_ = waiter;
}

aLinkFilterWait::~aLinkFilterWait() {
    if (!waiter_) return;
    RegistryLock lock;
    sEndReaderWait(waiter_);
}

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
    bool created = false;
    const aLinkRef id = sAcquire({aLINK_TYPE_USB, serialNumber, 0, nullptr}, created);
    if (!id || !created) return id;
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateUSB(serialNumber, &stream);
    return sStartNewLink(id, stream, err, true);
}

aLinkRef aLinkManager_CreateServedUSB(uint32_t serialNumber) {
    bool created = false;
    const aLinkRef id = sAcquire({aLINK_TYPE_USB, serialNumber, 0, nullptr}, created, true);
    if (!id) return 0;
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateUSB(serialNumber, &stream);
    return sStartNewLink(id, stream, err, true);
}

aLinkRef aLink_CreateTCPIP(uint32_t ipAddress, uint16_t port) {
    bool created = false;
    const aLinkRef id = sAcquire({aLINK_TYPE_TCPIP, ipAddress, port, nullptr}, created);
    if (!id || !created) return id;
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateSocket(ipAddress, port, &stream);
    return sStartNewLink(id, stream, err, false);
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    if (!portName) return 0;
    const int baudIndex = aSerial_BaudIndex(baudRate);
    if (baudIndex < 0) return 0;
    bool created = false;
    const aLinkRef id = sAcquire({aLINK_TYPE_SERIAL, serialNumber, 0, portName}, created);
    if (!id || !created) return id;
    aStreamRef stream = nullptr;
    const aErr err = aStream_CreateSerial(portName, baudIndex, 0, 0, 0, &stream);
    return sStartNewLink(id, stream, err, false);
}

namespace {

bool sOverZeroMQ(const linkEntry* entry) aREQUIRES(aLinkRegistry) {
    return entry->type == aLINK_TYPE_CLIENT || entry->served || entry->teardown;
}

bool sSettling(aLinkState state) {
    return state == aLinkState::Starting || state == aLinkState::Stopping || state == aLinkState::Remaking ||
           state == aLinkState::Closing;
}

// At exit CZMQ closes every socket still open under the threads that use them, so links
// over ZeroMQ (client links and served USB links) are stopped and their sockets closed
// first. The registry closes to creates and resets; the creates, resets and teardowns
// under way end; then each of those links is stopped under a hold, as a reset stops it,
// its client stream closed, and the link servers torn down. The entries stay
// registered; a later destroy finds them stopped.
void sStopZeroMQLinks() {
    std::vector<linkEntry*> stopping;
    {
        RegistryWaitLock lock;
        sRegistry().exiting = true;
        sRegistry().changed.notify_all();
        // A reader that ends the program is not waited for, nor stopped.
        const linkEntry* self = sThreadEntry();
        for (;;) {
            bool settling = false;
            for (linkEntry* entry = sRegistry().head; entry; entry = entry->next)
                if (entry != self && sSettling(entry->state)) settling = true;
            if (!settling) break;
            lock.wait();
        }
        for (linkEntry* entry = sRegistry().head; entry; entry = entry->next) {
            if (entry == self || !entry->link || entry->state != aLinkState::Open || !sOverZeroMQ(entry)) continue;
            sMove(entry, aLinkState::Stopping);
            ++entry->holds;
            stopping.push_back(entry);
        }
    }
    for (linkEntry* entry : stopping) {
        aPacketFifo_WakeWaiters(entry->link->inFifo);
        aLink_Stop(entry->link, true);
    }
    {
        RegistryWaitLock lock;
        for (linkEntry* entry : stopping) sMove(entry, aLinkState::Remaking);
        for (linkEntry* entry : stopping)
            while (entry->holds > 1) lock.wait();
    }
    for (linkEntry* entry : stopping)
        if (entry->type == aLINK_TYPE_CLIENT && entry->link->stream) aStream_Destroy(&entry->link->stream);
    {
        RegistryLock lock;
        for (linkEntry* entry : stopping) sMove(entry, aLinkState::Open);
    }
    // Still held: a destroy on another thread waits until the servers are gone.
    for (linkEntry* entry : stopping) sRunTeardown(entry);
    RegistryLock lock;
    for (linkEntry* entry : stopping) --entry->holds;
    sRegistry().changed.notify_all();
}

// CZMQ registers its own exit handler when it makes its first socket; one registered
// after that runs before it.
void sStopZeroMQLinksAtExit() {
    static std::once_flag registered;
    std::call_once(registered, [] { atexit(sStopZeroMQLinks); });
}

}  // namespace

// Every client link is a link of its own: the client index keeps two connections to
// one server apart.
aLinkRef aLink_CreateClient(uint32_t ipAddress, uint16_t port, aLinkRef ref) {
    if (ref != 0) {
        RegistryWaitLock lock;
        linkEntry* entry = sLookupEntryByID(ref);
        aLinkState state = entry ? sSeenState(entry) : aLinkState::Gone;
        if (entry && !sRegistry().exiting && state == aLinkState::Starting) {
            ++entry->pins;
            ++entry->startWaiters;
            while (entry->state == aLinkState::Starting) lock.wait();
            const bool started = entry->started && !entry->served;
            sUnpin(entry);
            if (started) return ref;
            state = aLinkState::Gone;
        }
        if (!entry || sRegistry().exiting || !sInUse(state)) {
            aTrace(TRACE_REGISTRY, "The provided ref is invalid.\n");
            return 0;
        }
        aTrace(TRACE_REGISTRY, "Using existing link - ConnectThroughLinkModule\n");
        ++entry->useCount;
        return ref;
    }
    static std::atomic<uint32_t> clientCount{0};
    bool created = false;
    const aLinkRef id = sAcquire({aLINK_TYPE_CLIENT, ipAddress, port, nullptr}, created);
    if (!id) return 0;
    {
        RegistryLock lock;
        if (linkEntry* entry = sLookupEntryByID(id)) entry->clientIndex = clientCount++;
    }
    aStreamRef stream = nullptr;
    const aErr err = aLinkSharing_CreateClientStream(ipAddress, port, &stream);
    if (err == aErrNone) sStopZeroMQLinksAtExit();
    return sStartNewLink(id, stream, err, false);
}

bool aLinkManager_GetIdentifier(aLinkRef id, uint32_t* identifier) {
    RegistryLock lock;
    linkEntry* entry = sLookupEntryByID(id);
    if (!entry) return false;
    *identifier = entry->identifier;
    return true;
}

bool aLinkManager_SetTeardown(aLinkRef id, aLinkTeardownProc proc, void* ref) {
    RegistryLock lock;
    linkEntry* entry = sLookupEntryByID(id);
    if (!entry) return false;
    entry->teardown = proc;
    entry->teardownRef = proc ? ref : nullptr;
    return true;
}

bool aLinkManager_SetCompanion(aLinkRef id, aLinkRef companion) {
    RegistryLock lock;
    linkEntry* entry = sLookupEntryByID(id);
    if (!entry) return false;
    entry->companionId = companion;
    return true;
}

aLinkRef aLink_Create(aStreamRef stream) {
    if (!aVALIDSTREAM(stream)) return 0;
    bool created = false;
    const aLinkRef id = sAcquire({aLINK_TYPE_LEGACY, LEGACY_IDENTIFIER, 0, nullptr}, created);
    if (!id) {
        aStream_Destroy(&stream);
        return 0;
    }
    return sStartNewLink(id, stream, aErrNone, false);
}

aErr aLink_Destroy(aLinkRef* id) {
    if (!id) return aErrParam;
    const aLinkRef doomed = *id;
    *id = 0;
    linkEntry* entry = nullptr;
    linkEntry* waiter = nullptr;
    bool apart = false;
    {
        RegistryLock lock;
        entry = sLookupEntryByID(doomed);
        if (!entry || !sInUse(entry->state) || entry->useCount <= 0) return aErrParam;
        --entry->useCount;
        if (entry->useCount > 0) {
            aTrace(TRACE_REGISTRY, "aLink_Destroy use_count: %d\n", entry->useCount);
            return aErrNone;
        }
        // The last use, dropped under the same holding of the mutex as the count's
        // change: from here no creator takes a use, and the filter is never called again.
        entry->closer = true;
        if (entry->link) entry->link->filterRetired = true;
        ++entry->pins;
        // A reader never waits on its own link's stop, nor on a link that waits on it:
        // the teardown then runs apart and ends once that reader is free.
        waiter = sThreadEntry();
        apart = waiter && sWouldCircle(waiter, entry);
        if (apart)
            waiter = nullptr;
        else
            sBeginReaderWait(waiter, entry);
    }
    if (apart)
        sCloseApart(entry);
    else
        sClose(entry, waiter);
    return aErrNone;
}

aErr aLink_Reset(aLinkRef id) {
    linkEntry* entry = nullptr;
    linkEntry* waiter = nullptr;
    {
        RegistryLock lock;
        entry = id ? sLookupEntryByID(id) : nullptr;
        if (!entry || !entry->link || !sInUse(sSeenState(entry))) return aErrParam;
        // A link whose stream cannot be opened again (a serial port or a caller's stream)
        // is refused before it is stopped, so a reset never leaves a working link dead.
        if (!sCanReopen(entry->type)) {
            aTrace(TRACE_REGISTRY, " recreate invalid stream type\n");
            return aErrParam;
        }
        // One reset at a time, none once the process exits, and none by a reader that
        // the stop would have to wait on (its own link, or one that waits on it).
        waiter = sThreadEntry();
        if (sRegistry().exiting || !aLinkState_CanBeginReset(entry->state) || (waiter && sWouldCircle(waiter, entry)))
            return aErrBusy;
        sMove(entry, aLinkState::Stopping);
        ++entry->holds;
        sBeginReaderWait(waiter, entry);
    }
    aLink* link = entry->link;
    // Running waits see the reset now; calls that begin from here wait for its end,
    // except those made on a link's own threads, which the stop may be waiting for.
    aPacketFifo_WakeWaiters(link->inFifo);
    aLink_Stop(link, true);
    {
        RegistryWaitLock lock;
        sEndReaderWait(waiter);
        sMove(entry, aLinkState::Remaking);
        while (entry->holds > 1) lock.wait();
    }
    aLink_Release(link);
    aStreamRef stream = nullptr;
    aErr err = aErrNone;
    for (int attempt = 0; attempt < RESET_ATTEMPTS; ++attempt) {
        {
            RegistryLock lock;
            if (sRegistry().exiting) {
                err = aErrBusy;
                break;
            }
        }
        err = sReopenStream(entry, &stream);
        if (err == aErrNone && stream) break;
        stream = nullptr;
        aTime_MSSleep(RESET_RETRY_MS);
    }
    aErr result = err;
    if (!stream) {
        aTrace(TRACE_REGISTRY, " ERROR - could not recreate stream: %d\n", static_cast<int>(err));
        if (result == aErrNone) result = aErrConnection;
    } else {
        const LinkMaking making;
        aLink_Init(link, entry->id, stream);
        result = aLink_Start(link);
    }
    RegistryLock lock;
    --entry->holds;
    sMove(entry, aLinkState::Open);
    return result;
}
