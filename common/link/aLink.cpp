// The link engine: a reader thread that assembles packets, keeps the stream in
// step with the module and answers heartbeats, and a writer thread that sends
// the outgoing queue. It works on the link object alone; the registry drives it and
// the calls on a link's ID (aLinkCalls.cpp) reach it through their holds.
#include "aLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "aLinkEngine.h"
#include "aModuleCommands.h"
#include "aTime.h"
#include "aTrace.h"

aLinkRole aLinkMaking;

namespace {

enum {
    kSyncStateSynced = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

const uint32_t TRACE_SYNC = 0x1;
const uint32_t TRACE_PACKETS = 0x2;

// Start and sync wait up to 200 x 10 ms, looking every millisecond so that a link
// that is ready is used at once.
const uint64_t START_LIMIT_MS = 200 * 10;
const uint64_t SYNC_LIMIT_MS = 200 * 10;
const uint64_t POLL_MS = 1;
// A sync that failed leaves the module this long to send what is on its way, which the
// sync then drops.
const uint64_t SYNC_DRAIN_PAUSE_MS = 100;
// A module answers each probe within milliseconds; answers still owed this long after
// the last burst was written never come (the module missed those probes).
const uint64_t OWED_ANSWERS_LIMIT_MS = 1000;
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
// addresses, control packets go to 0xAD and 0xAF); stop queues one to wake the writer,
// and a sync queues one carrying 0xAD for the writer to write a burst of probes in its
// place, so the writer knows which probes written are the sync's own.
const uint8_t WAKE_ADDRESS = 0x00;
const uint8_t BURST_MARK = aLINK_ADDRESS_SYNC;

thread_local const aLink* tThreadLink = nullptr;
thread_local bool tOnReader = false;

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
    const uint8_t mark = BURST_MARK;
    aPacket* burst = aPacket_CreateWithData(WAKE_ADDRESS, 1, &mark);
    if (!burst) return aErrMemory;
    const aErr result = aPacketFifo_Put(link->outFifo, burst);
    aPacket_Destroy(&burst);
    return result;
}

bool sIsBurstMark(const aPacket* packet) {
    return packet->address == WAKE_ADDRESS && packet->dataSize == 1 && packet->data[0] == BURST_MARK;
}

// One more burst of the sync under way; byte by byte the machine then looks for the
// module's address again.
aErr sRepeatBurst(aLink* link) {
    aTrace(TRACE_SYNC, "syncStart\n");
    sLeaveRunning(link, LINK_SYNCING);
    link->lastBurstMs = aTime_GetMonotonicMS();
    if (link->syncPhase == aLinkSyncPhase::Framed) return sPutSyncBurst(link);
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->rxPacket);
    const aErr result = sPutSyncBurst(link);
    if (result == aErrNone) link->syncState = kSyncStateByte1;
    return result;
}

// A sync begins packet by packet while the stream is in step (its packets and the
// module's answers stay whole, so bytes inside a packet are never taken for an answer),
// and byte by byte when a framing error has lost the packets.
aErr sStartSync(aLink* link) {
    link->syncPhase = link->inStep ? aLinkSyncPhase::Framed : aLinkSyncPhase::Bytes;
    link->framedAnswers = 0;
    return sRepeatBurst(link);
}

void sSynced(aLink* link) {
    aTrace(TRACE_SYNC, "synced\n");
    link->syncState = kSyncStateSynced;
    link->syncPhase = aLinkSyncPhase::None;
    link->inStep = true;
    link->status = LINK_RUNNING;
}

// One answer fewer owed, if any is: true when one was.
bool sOweOneLess(aLink* link) {
    uint32_t owed = link->owedAnswers;
    while (owed > 0 && !link->owedAnswers.compare_exchange_weak(owed, owed - 1)) {}
    return owed > 0;
}

// One answer owed to a burst has come: true when it is dropped for that.
bool sTakeOwedAnswer(aLink* link) {
    if (aTime_GetMonotonicMS() > link->owedUntilMs) link->owedAnswers = 0;
    return sOweOneLess(link);
}

void sSyncByte(aLink* link, uint8_t byte) {
    aTrace(TRACE_SYNC, "sByte %d\n", byte);
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncByte = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sRepeatBurst(link);
        }
        break;
    case kSyncStateByte2:
        aTrace(TRACE_SYNC, "sync2\n");
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        if (byte == 0) sTakeOwedAnswer(link);
        break;
    case kSyncStateByte3:
        aTrace(TRACE_SYNC, "sync3\n");
        link->syncState = byte == link->syncByte ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        aTrace(TRACE_SYNC, "sync4\n");
        // Anything but the second answer's zero may be the middle of another packet:
        // the machine starts over.
        if (byte == 0) {
            sTakeOwedAnswer(link);
            sSynced(link);
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default:
        aTrace(TRACE_SYNC, "sync default\n");
        sRepeatBurst(link);
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

// A probe answer: the module's address and no data.
bool sIsAnswer(const aPacket* packet) {
    return packet->dataSize == 0;
}

// During a sync packet by packet, answers are the sync's: two from one address end it.
void sTakeFramedAnswer(aLink* link, const aPacket* answer) {
    sTakeOwedAnswer(link);
    if (link->framedAnswers == 0 || answer->address != link->syncByte) {
        link->syncByte = answer->address;
        link->framedAnswers = 1;
        return;
    }
    sSynced(link);
}

aErr sHandlePacket(aLink* link) {
    aPacket* packet = link->rxPacket;
    if (!aPacket_IsComplete(packet)) return aErrNone;
    sRecordPacket(link, aPACKETLOG_INCOMING, packet);
    aErr result = aErrNone;
    if (sIsAnswer(packet) && link->syncPhase == aLinkSyncPhase::Framed) {
        sTakeFramedAnswer(link, packet);
    } else if (sIsAnswer(packet) && packet->address == link->syncByte && sTakeOwedAnswer(link)) {
        // Owed to a burst of the link's own sync: the caller never sees it.
    } else {
        uint8_t filterResult = 0;
        aMutex_Lock(link->userFilterSema);
        if (link->userFilter && !link->filterRetired) filterResult = link->userFilter(packet, link->userFilterRef);
        aMutex_Unlock(link->userFilterSema);
        if (filterResult != 1) {
            if (aModuleCommand_IsHeartbeat(packet)) {
                sHandleHBBackChannel(link, packet);
            } else {
                sTracePacket("sHandlePacket", link->id, packet);
                result = aPacketFifo_Put(link->inFifo, packet);
            }
        }
    }
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
        if (link->syncPhase == aLinkSyncPhase::None)
            sStartSync(link);
        else if (aTime_GetMonotonicMS() - link->lastBurstMs >= SYNC_BURST_PAUSE_MS)
            sRepeatBurst(link);
    }
    if (std::chrono::steady_clock::now() - link->lastInput < READER_SPIN) {
        std::this_thread::yield();
        return;
    }
    if (aStream_WaitReadable(link->stream, READER_IDLE_WAIT_MS) == aErrUnimplemented) aTime_MSSleep(1);
}

intptr_t sInPipeProcess(void* ref) {
    aLink* link = static_cast<aLink*>(ref);
    tThreadLink = link;
    tOnReader = true;
    link->syncState = kSyncStateSynced;
    link->syncPhase = aLinkSyncPhase::None;
    // A new stream begins with a packet.
    link->inStep = true;
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

bool sWritePacket(aLink* link, const aPacket* packet) aREQUIRES(link->writeMutex) {
    sTracePacket("sOutPipeProcess", link->id, packet);
    const aErr err = aStream_Write(link->stream, &packet->address, packet->dataSize + 2u);
    if (err != aErrNone) aTrace(TRACE_SYNC, "sOutPipeProcess error writing: %d\n", static_cast<int>(err));
    return err == aErrNone;
}

// The burst's probes are owed their answers from before they are written, so an answer
// that comes at once is never taken for a caller's; one that could not be written is
// owed nothing.
void sWriteBurst(aLink* link) aREQUIRES(link->writeMutex) {
    const uint8_t none = 0;
    aPacket* probe = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    if (!probe) return;
    for (int i = 0; i < SYNC_BURST_PACKETS; ++i) {
        link->owedUntilMs = aTime_GetMonotonicMS() + OWED_ANSWERS_LIMIT_MS;
        ++link->owedAnswers;
        sRecordPacket(link, aPACKETLOG_OUTGOING, probe);
        if (!sWritePacket(link, probe)) sOweOneLess(link);
    }
    aPacket_Destroy(&probe);
}

void sSendPacket(aLink* link, const aPacket* packet) aREQUIRES(link->writeMutex) {
    if (sIsBurstMark(packet)) {
        sWriteBurst(link);
        return;
    }
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
    tThreadLink = link;
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
    // A sync that ended otherwise (a read error, a stop) is over for the reader too.
    if (link->status != LINK_SYNCING) link->syncPhase = aLinkSyncPhase::None;
    if (link->status == LINK_SYNCING) {
        if (link->syncPhase == aLinkSyncPhase::None) sStartSync(link);
        if (link->syncPhase == aLinkSyncPhase::Bytes) {
            sSyncByte(link, byte);
            return;
        }
    }
    if (aPacket_AddByte(link->rxPacket, byte) == aErrNone) {
        if (sHandlePacket(link) != aErrNone) sLeaveRunning(link, LINK_PACKET_ERROR);
    } else {
        aTrace(TRACE_SYNC, "Out of sync\n");
        link->inStep = false;
        sStartSync(link);
    }
}

uint8_t drainAll(const aPacket*, const void*) {
    return 1;
}

void aLink_Init(aLink* link, aLinkRef id, aStreamRef stream) {
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
    link->owedAnswers = 0;
    link->syncPhase = aLinkSyncPhase::None;
    link->inStep = true;
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    char name[254];
    snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterSema = aMutex_Create(name);
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

aErr aLink_Start(aLink* link) {
    if (!link) return aErrParam;
    aTrace(TRACE_SYNC, " aLink_Start(%d)\n", static_cast<int>(link->id));
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

aErr aLink_Stop(aLink* link, bool routeOff) {
    if (!link) return aErrParam;
    const linkStatus status = link->status;
    if (status == LINK_STOPPED || status == LINK_STOPPING) return aErrNone;
    aTrace(TRACE_SYNC, " aLink_Stop(%d)\n", static_cast<int>(link->id));
    sLeaveRunning(link, LINK_STOPPING);
    aErr result = aErrNone;
    if (link->inThread || link->outThread) {
        // A reset sends route off, the last destroy does not.
        result = routeOff ? sQueueRoute(link, 0) : aErrNotFound;
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

aErr aLink_SyncLink(aLink* link) {
    if (!link) return aErrParam;
    aTrace(TRACE_SYNC, " aLink_Sync(%d)\n", static_cast<int>(link->id));
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
        // The answers still owed to the bursts are dropped by the reader as they come.
        // What the module sent of its own (a loader's start confirmation) is for the
        // caller's first wait; probe answers queued before the sync go.
        aPacketFifo_DrainPackets(link->inFifo, sIsProbeAnswer, nullptr);
        return result;
    }
    if (!link->farEndGone) aTime_MSSleep(SYNC_DRAIN_PAUSE_MS);
    aPacketFifo_DrainPackets(link->inFifo, drainAll, nullptr);
    return result;
}

aErr aLink_QueueRoute(aLink* link, uint8_t value) {
    return link ? sQueueRoute(link, value) : aErrParam;
}

namespace {

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

}  // namespace

aErr aLink_Put(aLink* link, const aPacket* packet) {
    if (sWriteAtOnce(link, packet)) return aErrNone;
    return aPacketFifo_Put(link->outFifo, packet);
}

namespace {

// On its own reader the filter mutex is already held: the reader holds it while the
// filter runs, and the filter is the only user code the reader runs.
void sSetFilterOnOwnReader(aLink* link, aPacketFilterProc proc, const void* ref) aNO_THREAD_SAFETY_ANALYSIS {
    link->userFilter = proc;
    link->userFilterRef = ref;
}

}  // namespace

bool aLink_SetUserFilter(aLink* link, aPacketFilterProc proc, const void* ref) {
    if (aLink_IsReaderOf(link)) {
        if (proc && link->filterRetired) return false;
        sSetFilterOnOwnReader(link, proc, ref);
        return true;
    }
    aMutex_Lock(link->userFilterSema);
    // The last destroy retires the filter before it removes it under this mutex: nothing
    // installed after that could outlive the link.
    const bool refused = proc && link->filterRetired;
    if (!refused) {
        link->userFilter = proc;
        link->userFilterRef = ref;
    }
    aMutex_Unlock(link->userFilterSema);
    return !refused;
}

const aLink* aLink_ThreadLink() {
    return tThreadLink;
}

bool aLink_IsReaderOf(const aLink* link) {
    return tOnReader && tThreadLink == link;
}
