// The link engine: a reader thread that assembles packets, keeps the stream in
// step with the module and answers heartbeats, and a writer thread that sends
// the outgoing queue.
#include "aLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "aLinkManagerInternal.h"
#include "aModuleCommands.h"
#include "aTime.h"
#include "aTrace.h"

namespace {

enum {
    kSyncStateSynced = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
    // A packet of the module's own, met right after one of its answers.
    kSyncStatePacket = 6,
};

const uint32_t TRACE_SYNC = 0x1;
const uint32_t TRACE_PACKETS = 0x2;

// Start and sync wait up to 200 x 10 ms, looking every millisecond so that a link
// that is ready is used at once.
const uint64_t START_LIMIT_MS = 200 * 10;
const uint64_t SYNC_LIMIT_MS = 200 * 10;
const uint64_t POLL_MS = 1;
// After a sync, answers to the burst may still be on their way; they are dropped once
// all are in, or after this pause at the latest.
const uint64_t SYNC_DRAIN_PAUSE_MS = 100;
const uint64_t READ_ERROR_PAUSE_MS = 100;
const uint64_t ERROR_PAUSE_SLICE_MS = 5;
const uint64_t WRITER_WAIT_MS = 1000;
// An unanswered sync burst is repeated after this pause, so a module that is slow
// to answer is not flooded and a half-received answer has time to complete.
const uint64_t SYNC_BURST_PAUSE_MS = 100;
// How long the reader sleeps on the stream when nothing arrives; it bounds how
// late the reader notices a stop.
const uint32_t READER_IDLE_WAIT_MS = 50;
const auto READER_SPIN = std::chrono::microseconds(200);

// The final flush at stop never holds the stop longer than this.
const uint64_t FINAL_FLUSH_LIMIT_MS = 500;
const int SYNC_BURST_PACKETS = 6;

// A packet to address 0 is never a real outgoing packet (modules have even non-zero
// addresses, control packets go to 0xAD and 0xAF); stop queues one to wake the writer.
const uint8_t WAKE_ADDRESS = 0x00;

void sTracePacket(const char* where, aLinkRef id, const aPacket* packet) {
    if (!aCorvalithDebuggingEnable || !(aCorvalithDebuggingLevel & TRACE_PACKETS)) return;
    char bytes[3 * aPACKET_MAX_DATA + 1] = "";
    for (uint8_t i = 0; i < packet->dataSize && i < aPACKET_MAX_DATA; ++i)
        snprintf(bytes + 3 * i, sizeof bytes - 3 * i, i ? " %02X" : "%02X", packet->data[i]);
    aTrace(TRACE_PACKETS, " %s(%d) ADDR:%02X, LEN:%02X, [%s]\n", where, static_cast<int>(id), packet->address,
           packet->dataSize, bytes);
}

// A caller that waits for a reply waits only while the link runs: tell it at once
// when the link leaves that state.
void sLeaveRunning(aLink* link, linkStatus status) {
    const linkStatus before = link->status.exchange(status);
    if (before == LINK_RUNNING && status != LINK_RUNNING) aPacketFifo_WakeWaiters(link->inFifo);
}

// The pause after a read error, cut short by a stop.
void sErrorPause(aLink* link) {
    const uint64_t end = aTime_GetMonotonicMS() + READ_ERROR_PAUSE_MS;
    while (link->running == 1 && aTime_GetMonotonicMS() < end) aTime_MSSleep(ERROR_PAUSE_SLICE_MS);
}

aErr sPutSyncBurst(aLink* link) {
    const uint8_t none = 0;
    aPacket* query = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    if (!query) return aErrMemory;
    aErr result = aErrNone;
    for (int i = 0; i < SYNC_BURST_PACKETS; ++i) result = aPacketFifo_Put(link->outFifo, query);
    aPacket_Destroy(&query);
    return result;
}

aErr sStartSync(aLink* link) {
    aTrace(TRACE_SYNC, "syncStart\n");
    sLeaveRunning(link, LINK_SYNCING);
    link->syncState = kSyncStateStart;
    link->lastBurstMs = aTime_GetMonotonicMS();
    aPacket_Reset(link->rxPacket);
    const aErr result = sPutSyncBurst(link);
    if (result == aErrNone) link->syncState = kSyncStateByte1;
    return result;
}

aErr sHandlePacket(aLink* link);

// A whole answer came just before, so the module's address and a non-zero length start
// a packet it sent among its answers (a loader confirming its start on a new link, say):
// it is taken like any packet, and the sync goes on after it.
void sBeginPacketAmidSync(aLink* link, uint8_t length) {
    aPacket_Reset(link->rxPacket);
    if (aPacket_AddByte(link->rxPacket, link->syncByte) != aErrNone ||
        aPacket_AddByte(link->rxPacket, length) != aErrNone) {
        link->syncState = kSyncStateStart;
        return;
    }
    link->syncState = kSyncStatePacket;
}

void sTakePacketAmidSync(aLink* link, uint8_t byte) {
    if (aPacket_AddByte(link->rxPacket, byte) != aErrNone) {
        sStartSync(link);
        return;
    }
    if (!aPacket_IsComplete(link->rxPacket)) return;
    static_cast<void>(sHandlePacket(link));
    link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte) {
    aTrace(TRACE_SYNC, "sByte %d\n", byte);
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncByte = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sStartSync(link);
        }
        break;
    case kSyncStateByte2:
        aTrace(TRACE_SYNC, "sync2\n");
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        if (byte == 0) ++link->syncAnswers;
        break;
    case kSyncStateByte3:
        aTrace(TRACE_SYNC, "sync3\n");
        link->syncState = byte == link->syncByte ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        aTrace(TRACE_SYNC, "sync4\n");
        if (byte == 0) {
            aTrace(TRACE_SYNC, "synced\n");
            ++link->syncAnswers;
            link->syncState = kSyncStateSynced;
            link->status = LINK_RUNNING;
        } else {
            sBeginPacketAmidSync(link, byte);
        }
        break;
    case kSyncStatePacket:
        sTakePacketAmidSync(link, byte);
        break;
    default:
        aTrace(TRACE_SYNC, "sync default\n");
        sStartSync(link);
        break;
    }
}

void sHandleHBBackChannel(aLink* link, const aPacket* heartbeat) {
    const uint8_t n = heartbeat->data[1];
    aTrace(TRACE_PACKETS, " sHandleHBBackChannel() ==> received HB packet [data size = %d][%d,%d]\n",
           heartbeat->dataSize, heartbeat->data[0], n);
    if (n == 0) aTrace(TRACE_PACKETS, " sHandleHBBackChannel() %s\n", "sending HB UP");
    if (n == 1) aTrace(TRACE_PACKETS, " sHandleHBBackChannel() %s\n", "sending HB DOWN");
    const uint8_t answerData[aCMD_HEARTBEAT_SIZE] = {aCMD_HEARTBEAT, aModuleCommand_HeartbeatAnswer(n)};
    aPacket* answer = aPacket_CreateWithData(heartbeat->address, aCMD_HEARTBEAT_SIZE, answerData);
    if (!answer) return;
    aPacketFifo_Put(link->outFifo, answer);
    aPacket_Destroy(&answer);
}

// Wire form of the packet: address, data size, data.
void sRecordPacket(aLink* link, uint32_t direction, const aPacket* packet) {
    aPacketLog* log = link->packetLog;
    if (!log) return;
    aMutex_Lock(link->packetLogMutex);
    aPacketLog_Put(log, direction, packet->dataSize + 2u, &packet->address);
    aMutex_Unlock(link->packetLogMutex);
}

aErr sHandlePacket(aLink* link) {
    aPacket* packet = link->rxPacket;
    if (!aPacket_IsComplete(packet)) return aErrNone;
    sRecordPacket(link, aPACKETLOG_INCOMING, packet);

    uint8_t filterResult = 0;
    aMutex_Lock(link->userFilterSema);
    if (link->userFilter) filterResult = link->userFilter(packet, link->userFilterRef);
    aMutex_Unlock(link->userFilterSema);

    aErr result = aErrNone;
    if (filterResult != 1) {
        if (aModuleCommand_IsHeartbeat(packet)) {
            sHandleHBBackChannel(link, packet);
        } else {
            sTracePacket("sHandlePacket", link->id, packet);
            result = aPacketFifo_Put(link->inFifo, packet);
        }
    }
    // Counted once queued, so a sync's final drain finds it there.
    if (packet->dataSize == 0 && packet->address == link->syncByte) ++link->syncAnswers;
    aPacket_Reset(packet);
    return result;
}

// Nothing arrived: repeat an unanswered sync burst once its pause has passed. Right
// after input the next reply is usually microseconds away, so the reader keeps
// polling for a moment; after that it sleeps on the stream until input comes, so an
// idle link costs no CPU. (Sleeping at once saves little processor time: waking a
// sleeping reader for every reply costs about as much as the short watch.)
void sReaderIdle(aLink* link) {
    if (link->status == LINK_SYNCING) {
        const uint64_t now = aTime_GetMonotonicMS();
        if (link->syncState == kSyncStateSynced || now - link->lastBurstMs >= SYNC_BURST_PAUSE_MS) sStartSync(link);
    }
    if (std::chrono::steady_clock::now() - link->lastInput < READER_SPIN) {
        std::this_thread::yield();
        return;
    }
    if (aStream_WaitReadable(link->stream, READER_IDLE_WAIT_MS) == aErrUnimplemented) aTime_MSSleep(1);
}

intptr_t sInPipeProcess(void* ref) {
    aLink* link = static_cast<aLink*>(ref);
    link->syncState = kSyncStateSynced;
    link->inAlive = 1;
    link->status = LINK_RUNNING;
    aTrace(TRACE_SYNC, " sInPipeProcess(%d) -- syncing\n", static_cast<int>(link->id));
    while (link->running == 1) {
        uint8_t byte = 0;
        const aErr err = aStream_Read(link->stream, &byte, 1);
        if (link->running != 1) break;
        if (err == aErrNone) link->lastInput = std::chrono::steady_clock::now();
        if (err == aErrNotReady) {
            sReaderIdle(link);
        } else if (err != aErrNone) {
            aTrace(TRACE_SYNC, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n", static_cast<int>(link->id),
                   static_cast<int>(err));
            if (err == aErrConnection) link->farEndGone = true;
            sLeaveRunning(link, LINK_IO_ERROR);
            sErrorPause(link);
        } else {
            aLink_ReceiveByte(link, byte);
        }
    }
    aTrace(TRACE_SYNC, " sInPipeProcess(%d) terminating\n", static_cast<int>(link->id));
    return 0;
}

void sWritePacket(aLink* link, const aPacket* packet) aREQUIRES(link->writeMutex) {
    sTracePacket("sOutPipeProcess", link->id, packet);
    const aErr err = aStream_Write(link->stream, &packet->address, packet->dataSize + 2u);
    if (err != aErrNone) aTrace(TRACE_SYNC, "sOutPipeProcess error writing: %d\n", static_cast<int>(err));
}

void sSendPacket(aLink* link, const aPacket* packet) aREQUIRES(link->writeMutex) {
    if (packet->address == aLINK_ADDRESS_SYNC && packet->dataSize == 0) ++link->syncQueriesWritten;
    if (packet->address == WAKE_ADDRESS) return;
    // Recorded before the write, so a quick reply is never logged ahead of its request;
    // the write's result does not matter to the record.
    sRecordPacket(link, aPACKETLOG_OUTGOING, packet);
    sWritePacket(link, packet);
}

// The writer takes packets only while holding the write mutex, so a caller that finds
// the queue empty under that mutex writes its packet in order (aLink_PutPacket).
intptr_t sOutPipeProcess(void* ref) {
    aLink* link = static_cast<aLink*>(ref);
    link->outAlive = 1;
    while (link->running == 1) {
        if (!aPacketFifo_AwaitQueued(link->outFifo, WRITER_WAIT_MS)) continue;
        aCheckedLock writing(link->writeMutex);
        while (link->running == 1) {
            aPacket* packet = aPacketFifo_Get(link->outFifo);
            if (!packet) break;
            sSendPacket(link, packet);
            aPacket_Destroy(&packet);
        }
    }
    // Send what is still queued (route off among it), but never let a stalled
    // stream hold the stop for long.
    aCheckedLock writing(link->writeMutex);
    const uint64_t deadline = aTime_GetMonotonicMS() + FINAL_FLUSH_LIMIT_MS;
    while (aPacket* packet = aPacketFifo_Get(link->outFifo)) {
        if (packet->address != WAKE_ADDRESS && aTime_GetMonotonicMS() < deadline) sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
    return 0;
}

void sWakeWriter(aLink* link) {
    aPacket* wake = aPacket_Create();
    if (!wake) return;
    aPacketFifo_Put(link->outFifo, wake);
    aPacket_Destroy(&wake);
}

// A module answers every sync query it reads: once each query written has its answer,
// no surplus answer is left to come.
void sAwaitBurstAnswers(aLink* link) {
    const uint64_t deadline = aTime_GetMonotonicMS() + SYNC_DRAIN_PAUSE_MS;
    while (link->syncAnswers < link->syncQueriesWritten && aTime_GetMonotonicMS() < deadline) aTime_MSSleep(POLL_MS);
}

aErr sQueueRoute(aLink* link, uint8_t value) {
    aTrace(TRACE_SYNC, " aLink_ForceRoute(%d)\n", static_cast<int>(link->id));
    aPacket* route = aPacket_CreateWithData(aLINK_ADDRESS_ROUTE, 1, &value);
    if (!route) return aErrMemory;
    const aErr result = aPacketFifo_Put(link->outFifo, route);
    aPacket_Destroy(&route);
    return result;
}

// A module's answer to an address probe is its address with no data.
uint8_t sIsProbeAnswer(const aPacket* packet, const void*) {
    return packet->dataSize == 0;
}

bool sJoin(aThreadRef* thread) {
    if (!*thread) return true;
    return aThread_Destroy(thread) == 0;
}

}  // namespace

void aLink_ReceiveByte(aLink* link, uint8_t byte) {
    if (link->status == LINK_SYNCING) {
        sSyncByte(link, byte);
    } else if (aPacket_AddByte(link->rxPacket, byte) == aErrNone) {
        if (sHandlePacket(link) != aErrNone) sLeaveRunning(link, LINK_PACKET_ERROR);
    } else {
        aTrace(TRACE_SYNC, "Out of sync\n");
        sStartSync(link);
    }
}

uint8_t drainAll(const aPacket*, const void*) {
    return 1;
}

aLinkRef aLink_Init(aLinkRef id, aStreamRef stream) {
    aLink* link = aLinkManager_GetLink(id);
    if (!link) return 0;
    link->id = id;
    link->check = aLINK_CHECK;
    link->running = 0;
    link->stream = stream;
    link->status = stream ? LINK_STOPPED : LINK_INVALID;
    link->inThread = nullptr;
    link->outThread = nullptr;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inProc = sInPipeProcess;
    link->outProc = sOutPipeProcess;
    link->inAlive = 0;
    link->outAlive = 0;
    link->rxPacket = aPacket_Create();
    link->farEndGone = false;
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    char name[254];
    snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterSema = aMutex_Create(name);
    return id;
}

void aLink_Release(aLink* link) {
    if (link->inFifo) aPacketFifo_Destroy(&link->inFifo);
    if (link->outFifo) aPacketFifo_Destroy(&link->outFifo);
    if (link->rxPacket) aPacket_Destroy(&link->rxPacket);
    if (link->userFilterSema) aMutex_Destroy(&link->userFilterSema);
    // Never pulled from under a record being put or taken.
    aPacketLog* log = nullptr;
    if (link->packetLogMutex) {
        aMutex_Lock(link->packetLogMutex);
        log = link->packetLog.exchange(nullptr);
        aMutex_Unlock(link->packetLogMutex);
    } else {
        log = link->packetLog.exchange(nullptr);
    }
    aPacketLog_Destroy(&log);
    if (link->packetLogMutex) aMutex_Destroy(&link->packetLogMutex);
    if (link->stream) aStream_Destroy(&link->stream);
}

// Run by the registry only, on a link whose life its caller owns: it takes no hold, so a
// reset, which keeps new holds waiting, can start the link again.
aErr aLink_Start(aLinkRef id) {
    aLink* link = aLinkManager_GetLink(id);
    if (!link) return aErrParam;
    aTrace(TRACE_SYNC, " aLink_Start(%d)\n", static_cast<int>(id));
    if (link->running == 1) return aErrNone;
    if (!link->stream || !link->inFifo || !link->outFifo || !link->rxPacket || !link->userFilterSema)
        return aErrResource;
    link->running = 1;
    link->status = LINK_STARTING;
    link->inAlive = 0;
    link->outAlive = 0;
    link->inThread = aThread_Create(link->inProc, link);
    if (!link->inThread) return aErrResource;
    link->outThread = aThread_Create(link->outProc, link);
    if (!link->outThread) return aErrResource;
    bool started = false;
    const uint64_t deadline = aTime_GetMonotonicMS() + START_LIMIT_MS;
    for (;;) {
        // A stream with no module behind it never brings the link up.
        if (link->farEndGone) return aErrConnection;
        started = link->inAlive == 1 && link->outAlive == 1 && link->status == LINK_RUNNING;
        if (started || aTime_GetMonotonicMS() >= deadline) break;
        aTime_MSSleep(POLL_MS);
    }
    if (!started) return aErrIndexRange;
    return sQueueRoute(link, 1);
}

aErr aLink_Stop(aLink* link) {
    if (!link) return aErrParam;
    const linkStatus status = link->status;
    if (status == LINK_STOPPED || status == LINK_STOPPING) return aErrNone;
    aTrace(TRACE_SYNC, " aLink_Stop(%d)\n", static_cast<int>(link->id));
    sLeaveRunning(link, LINK_STOPPING);
    aErr result = aErrNone;
    if (link->inThread || link->outThread) {
        // Only while the link is still registered: a reset sends route off, the last
        // destroy does not.
        result = aLinkManager_IsRegistered(link) ? sQueueRoute(link, 0) : aErrNotFound;
        link->running = 0;
        sWakeWriter(link);
        aStream_WakeReader(link->stream);
        if (!sJoin(&link->inThread)) result = aErrUnknown;
        if (!sJoin(&link->outThread)) result = aErrUnknown;
        link->inAlive = 0;
        link->outAlive = 0;
        aPacket_Reset(link->rxPacket);
    }
    link->running = 0;
    link->status = LINK_STOPPED;
    aTrace(TRACE_SYNC, " leaving aLink_Stop(%d)==>%d\n", static_cast<int>(link->id), static_cast<int>(result));
    return result;
}

aErr aLink_Sync(aLinkRef id) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    aTrace(TRACE_SYNC, " aLink_Sync(%d)\n", static_cast<int>(id));
    link->syncQueriesWritten = 0;
    link->syncAnswers = 0;
    link->status = LINK_SYNCING;
    // The reader sends the first burst as its wait ends; it need not wait out a read.
    aStream_WakeReader(link->stream);
    aErr result = aErrNotReady;
    const uint64_t deadline = aTime_GetMonotonicMS() + SYNC_LIMIT_MS;
    for (;;) {
        if (link->status == LINK_RUNNING) {
            result = aErrNone;
            break;
        }
        // No module will ever answer through a stream that has none behind it.
        if (link->farEndGone) {
            result = aErrConnection;
            break;
        }
        if (aTime_GetMonotonicMS() >= deadline) break;
        aTime_MSSleep(POLL_MS);
    }
    aPacketFifo_DrainPackets(link->outFifo, drainAll, nullptr);
    if (result == aErrNone) {
        sAwaitBurstAnswers(link);
        // Only the surplus answers go: what the module sent of its own after answering
        // (a loader's start confirmation) is for the caller's first wait.
        aPacketFifo_DrainPackets(link->inFifo, sIsProbeAnswer, nullptr);
        return result;
    }
    if (!link->farEndGone) aTime_MSSleep(SYNC_DRAIN_PAUSE_MS);
    aPacketFifo_DrainPackets(link->inFifo, drainAll, nullptr);
    return result;
}

aErr aLink_ForceRoute(aLinkRef id, uint8_t value) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrNotFound;
    return sQueueRoute(link, value);
}

linkStatus aLink_GetStatus(aLinkRef id) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    return link ? link->status.load() : LINK_INVALID;
}

// Handing a packet to the writer thread costs a thread wake-up on every request; when
// the writer is idle and nothing is queued before it, the caller writes the packet
// itself, in the same order and with the same record the writer would give it. While
// the link syncs or stops, or when it is set to leave every write to its writer,
// packets are queued as ever.
bool sWriteAtOnce(aLink* link, const aPacket* packet) {
    if (!aVALIDPACKET(packet) || link->writerOnly || link->running != 1 || link->status != LINK_RUNNING) return false;
    if (!link->writeMutex.try_lock()) return false;
    aCheckedLock writing(link->writeMutex, std::adopt_lock);
    if (aPacketFifo_GetLength(link->outFifo) != 0) return false;
    sSendPacket(link, packet);
    return true;
}

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
    aLinkHold hold(id);
    aLink* link = hold.link();
    if (!link) return aErrParam;
    if (sWriteAtOnce(link, packet)) return aErrNone;
    return aPacketFifo_Put(link->outFifo, packet);
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
    if (!link || !link->userFilterSema) return aErrParam;
    aMutex_Lock(link->userFilterSema);
    // The last destroy removes the filter under this mutex after marking the entry
    // closing: nothing installed now could outlive it.
    const bool refused = proc && hold.entry()->closing;
    if (!refused) {
        link->userFilter = proc;
        link->userFilterRef = ref;
    }
    aMutex_Unlock(link->userFilterSema);
    return refused ? aErrParam : aErrNone;
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
