// The process-wide registry of links: IDs, use counts and creation by transport.
#include "aLink.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>
#include <new>

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
aLinkRole aLinkMaking;

namespace {

const uint32_t TRACE_REGISTRY = 0x1;
const uint32_t LEGACY_IDENTIFIER = 0xFFFFFFFFu;
const int RESET_ATTEMPTS = 20;
const uint64_t RESET_RETRY_MS = 100;

struct Registry {
    linkEntry* head aGUARDED_BY(aLinkRegistry) = nullptr;
    aLinkRef nextID = 1;
    aMutexRef mutex = nullptr;
    // Signalled whenever a hold is released.
    std::condition_variable_any released;
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

// The registry mutex held for waits on `released`, which give it up while they wait.
class aSCOPED_CAPABILITY RegistryWaitLock {
public:
    RegistryWaitLock() aACQUIRE(aLinkRegistry) aNO_THREAD_SAFETY_ANALYSIS : lock(mutex) {}
    ~RegistryWaitLock() aRELEASE() aNO_THREAD_SAFETY_ANALYSIS {}
    void wait() aREQUIRES(aLinkRegistry) { sRegistry().released.wait(lock); }
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

// Waits until no more than `others` holds remain on the entry.
void sAwaitHolds(linkEntry* entry, int32_t others) {
    RegistryWaitLock lock;
    while (entry->holds > others) lock.wait();
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

linkEntry* sLookupEntryByID(aLinkRef id) aREQUIRES(aLinkRegistry) {
    for (linkEntry* entry = sRegistry().head; entry; entry = entry->next)
        if (entry->id == id) return entry;
    return nullptr;
}

// An entry whose last use is being dropped is no longer found: a new link is made.
linkEntry* sLookupEntryByKey(const ModuleKey& key) aREQUIRES(aLinkRegistry) {
    for (linkEntry* entry = sRegistry().head; entry; entry = entry->next)
        if (!entry->closing && sMatches(entry, key)) return entry;
    return nullptr;
}

linkEntry* sExtractEntry(aLinkRef id) aREQUIRES(aLinkRegistry) {
    for (linkEntry** slot = &sRegistry().head; *slot; slot = &(*slot)->next) {
        if ((*slot)->id == id) {
            linkEntry* entry = *slot;
            *slot = entry->next;
            entry->next = nullptr;
            return entry;
        }
    }
    return nullptr;
}

enum class StartOutcome { Started, Failed, Closing };

// Waits, under the registry mutex, until the creator of the link of this ID has
// started it or given up; the creator's own limits bound the wait. Found again after
// each wait: a failed start takes its entry out of the registry.
StartOutcome sAwaitStart(RegistryWaitLock& lock, aLinkRef id, linkEntry** started) aREQUIRES(aLinkRegistry) {
    linkEntry* entry = nullptr;
    while ((entry = sLookupEntryByID(id)) && entry->starting && !entry->closing) lock.wait();
    *started = entry;
    if (!entry || entry->starting) return StartOutcome::Failed;
    return entry->closing ? StartOutcome::Closing : StartOutcome::Started;
}

// A use of an existing running link for this module, or a new entry holding the
// caller's use; the lookup and the use count change in one holding of the mutex.
// `created` tells which. A link that its creator is still starting is shared once it
// runs, and a start that fails fails this caller too. A link for a server is only
// ever a new one.
aLinkRef sAcquire(const ModuleKey& key, bool& created, bool forServer = false) {
    RegistryWaitLock lock;
    created = false;
    while (key.type != aLINK_TYPE_LEGACY && key.type != aLINK_TYPE_CLIENT) {
        linkEntry* existing = sLookupEntryByKey(key);
        if (!existing) break;
        if (forServer) {
            aTrace(TRACE_REGISTRY, "This device is already in use; it cannot be shared as a \"SERVER\"\n");
            return 0;
        }
        const StartOutcome outcome = sAwaitStart(lock, existing->id, &existing);
        if (outcome == StartOutcome::Failed) return 0;
        // Started, then its last use was dropped meanwhile: look again.
        if (outcome == StartOutcome::Closing) continue;
        // A served module is reached through its server's clients only.
        if (existing->served || existing->teardown) {
            aTrace(TRACE_REGISTRY,
                   "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" \n");
            return 0;
        }
        ++existing->useCount;
        return existing->id;
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

// Starts a freshly registered link over its stream; on any failure the entry,
// its half-made link and the stream are torn down.
aLinkRef sStartNewLink(aLinkRef id, aStreamRef stream, aErr openResult, bool syncAfterStart) {
    aErr err = openResult;
    {
        const LinkMaking making;
        if (aLink_Init(id, stream) != id && err == aErrNone) err = aErrConnection;
        if (err == aErrNone && !stream) err = aErrConnection;
        if (err == aErrNone) err = aLink_Start(id);
    }
    if (err == aErrNone && syncAfterStart) {
        err = aLink_Sync(id);
        if (err == aErrNone) err = aLink_ForceRoute(id, 1);
    }
    if (err != aErrNone) {
        aTrace(TRACE_REGISTRY, " error creating Link, destroying the id (%d)\n", static_cast<int>(id));
        // Leaves the registry still marked starting: creators waiting for it fail too.
        aLinkRef doomed = id;
        aLink_Destroy(&doomed);
        return 0;
    }
    RegistryLock lock;
    if (linkEntry* entry = sLookupEntryByID(id)) entry->starting = false;
    sRegistry().released.notify_all();
    return id;
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

}  // namespace

// The hold is a role to the analysis (aLinkHeld), taken even when no link is held.
aLinkHold::aLinkHold(aLinkRef id, aLinkHoldFor purpose) aNO_THREAD_SAFETY_ANALYSIS {
    if (id == 0) return;
    RegistryWaitLock lock;
    linkEntry* entry = nullptr;
    if (purpose == aLinkHoldFor::Reset) {
        entry = sLookupEntryByID(id);
        if (!entry || !entry->link) return;
        if (entry->closing || entry->resetting) {
            refusedAsBusy = true;
            return;
        }
        entry->resetting = true;
    } else {
        // Looked up again after each wait: the link may have gone meanwhile. A call
        // that had to wait began during the reset, and is interrupted by it like one
        // already running.
        while ((entry = sLookupEntryByID(id)) && entry->resetting) {
            cutByReset = true;
            lock.wait();
        }
        if (!entry || !entry->link) return;
    }
    ++entry->holds;
    held = entry;
}

aLinkHold::~aLinkHold() aNO_THREAD_SAFETY_ANALYSIS {
    if (!held) return;
    RegistryLock lock;
    --held->holds;
    sRegistry().released.notify_all();
}

aLink* aLinkHold::link() const {
    return held ? held->link : nullptr;
}

bool aLinkHold::interrupted() const {
    return held && (cutByReset || held->closing || held->resetting);
}

aLink* aLinkManager_GetLink(aLinkRef id) {
    if (id == 0) return nullptr;
    RegistryLock lock;
    linkEntry* entry = sLookupEntryByID(id);
    return entry ? entry->link : nullptr;
}

bool aLinkManager_IsRegistered(const aLink* link) {
    RegistryLock lock;
    const linkEntry* entry = sLookupEntryByID(link->id);
    return entry && entry->link == link;
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

// At exit CZMQ closes every socket still open under the threads that use them, so
// links over ZeroMQ (client links and served USB links) are stopped and their sockets
// closed first. The entries stay registered; a later destroy finds them stopped.
void sStopZeroMQLinks() {
    std::vector<linkEntry*> entries;
    {
        RegistryLock lock;
        for (linkEntry* entry = sRegistry().head; entry; entry = entry->next)
            if (entry->link && (entry->teardown || entry->type == aLINK_TYPE_CLIENT)) entries.push_back(entry);
    }
    for (linkEntry* entry : entries) aLink_Stop(entry->link);
    for (linkEntry* entry : entries) {
        sRunTeardown(entry);
        if (entry->type == aLINK_TYPE_CLIENT && entry->link->stream) aStream_Destroy(&entry->link->stream);
    }
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
        linkEntry* entry = nullptr;
        if (sAwaitStart(lock, ref, &entry) != StartOutcome::Started) {
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
    {
        RegistryLock lock;
        linkEntry* entry = sLookupEntryByID(doomed);
        if (!entry || entry->closing) return aErrParam;
        --entry->useCount;
        if (entry->useCount > 0) {
            aTrace(TRACE_REGISTRY, "aLink_Destroy use_count: %d\n", entry->useCount);
            return aErrNone;
        }
        // The last use, dropped under the same holding of the mutex as the count's
        // change: no other caller can take a use of a link that is going away.
        entry->closing = true;
    }
    // The user filter goes while the link is still registered, so a removal racing this
    // destroy either comes first or finds the filter already gone; none is installed
    // after it (aLink_InstallUserPacketFilter refuses a closing link). Once this has
    // returned, no reset runs or begins on the link.
    aLink_InstallUserPacketFilter(doomed, nullptr, nullptr);
    linkEntry* entry = nullptr;
    {
        RegistryLock lock;
        entry = sExtractEntry(doomed);
        // Creators waiting for a start that failed see it gone.
        sRegistry().released.notify_all();
    }
    if (!entry) return aErrUnknown;
    // Calls still running on the link (a waiter on another thread) end before anything
    // of it is freed; waiting ones are woken to see the link closing.
    if (entry->link) aPacketFifo_WakeWaiters(entry->link->inFifo);
    sAwaitHolds(entry, 0);

    aErr result = aErrUnknown;
    if (aLink* link = entry->link) {
        aLink_Stop(link);
        sRunTeardown(entry);
        if (entry->companionId) aLink_Destroy(&entry->companionId);
        result = aErrNone;
        aLink_Release(link);
        link->check = 0;
        delete link;
    }
    delete entry;
    return result;
}

aErr aLink_Reset(aLinkRef id) {
    // One reset at a time, and none of a link whose last use is being dropped.
    aLinkHold hold(id, aLinkHoldFor::Reset);
    if (hold.busy()) return aErrBusy;
    linkEntry* entry = hold.entry();
    if (!entry || !entry->link) return aErrParam;
    const aErr result = aLink_ResetLink(entry);
    RegistryLock lock;
    entry->resetting = false;
    sRegistry().released.notify_all();
    return result;
}

aErr aLink_ResetLink(linkEntry* entry) {
    if (!entry || !entry->link) return aErrParam;
    // A link whose stream cannot be opened again (a serial port or a caller's stream)
    // is refused before it is stopped, so a reset never leaves a working link dead.
    if (entry->type != aLINK_TYPE_USB && entry->type != aLINK_TYPE_TCPIP && entry->type != aLINK_TYPE_CLIENT) {
        aTrace(TRACE_REGISTRY, " recreate invalid stream type\n");
        return aErrParam;
    }
    aLink* link = entry->link;
    // No call begins while the reset runs (its hold keeps them waiting); the ones
    // waiting already see it now, and every other ends before the link's queues,
    // mutexes and packet log are replaced.
    aPacketFifo_WakeWaiters(link->inFifo);
    aLink_Stop(link);
    sAwaitHolds(entry, 1);
    aLink_Release(link);
    aStreamRef stream = nullptr;
    aErr err = aErrNone;
    for (int attempt = 0; attempt < RESET_ATTEMPTS; ++attempt) {
        err = sReopenStream(entry, &stream);
        if (err == aErrNone && stream) break;
        stream = nullptr;
        aTime_MSSleep(RESET_RETRY_MS);
    }
    if (!stream) {
        aTrace(TRACE_REGISTRY, " ERROR - could not recreate stream: %d\n", static_cast<int>(err));
        return err != aErrNone ? err : aErrConnection;
    }
    const LinkMaking making;
    aLink_Init(entry->id, stream);
    return aLink_Start(entry->id);
}
