// The link server's sync actor: one request at a time on the served USB link. The wire
// carries no request id, so a reply is told by what it shares with its request (module
// address, command, and a value's option and index), and a request that gave up leaves
// a record: a packet that matches it is the late reply and goes to nobody, and a
// request it could be taken for is not run until the record is used up or old enough
// that no such reply can still come.
#include <deque>
#include <vector>

#include "aLink.h"
#include "aServerInternal.h"
#include "aCzmqActor.h"
#include "aTime.h"
#include "aTrace.h"
#include "aUEI.h"

namespace {

const uint32_t TRACE_SERVER = 0x4;
const uint64_t REPLY_WAIT_MS = 2000;
const uint64_t REPLY_SLICE_MS = 100;
const int INTERNAL_SEND_TIMEOUT_MS = 1000;
const uint32_t KEY_QUERY = 0xFFFFFFFFu;

// The module's address and command byte; for a value exchange also its option number
// and index, which the module's reply carries too (a get's reply without the get flag,
// a set's acknowledgement and an error reply with flags of their own). Bits 30 and 31
// stay clear, so no key is KEY_QUERY.
uint32_t sKeyOf(const aPacket* packet) {
    uint32_t key = static_cast<uint32_t>(packet->address) << 16;
    if (packet->dataSize == 0) return key;
    key |= 0x100u | packet->data[0];
    if (packet->dataSize >= 3 && aUEI_isUEIPayload(packet))
        key |= 0x4000u | static_cast<uint32_t>(packet->data[1] & 0x3F) << 24 |
               static_cast<uint32_t>(packet->data[2] & 0x1F) << 9;
    return key;
}

struct GaveUp {
    uint32_t key;
    uint64_t expires;
};

struct SyncState {
    aServer* server;
    std::deque<GaveUp> gaveUp;
};

void sPrune(SyncState& state) {
    const uint64_t now = aTime_GetMonotonicMS();
    for (auto record = state.gaveUp.begin(); record != state.gaveUp.end();)
        record = record->expires <= now ? state.gaveUp.erase(record) : record + 1;
}

// A late reply uses up the oldest record it matches: the module answers in order. A
// reply of several chunks goes whole: the record stays while the chunk taken says more
// follow, and each such chunk gives the next one the full wait again.
bool sTakeLate(SyncState& state, const aPacket* packet) {
    for (auto record = state.gaveUp.begin(); record != state.gaveUp.end(); ++record) {
        if (aServer_ReplyMatches(packet, record->key)) {
            aTrace(TRACE_SERVER, "late reply dropped\n");
            if (aServer_DoesPacketContinue(packet))
                record->expires = aTime_GetMonotonicMS() + aSERVER_LATE_REPLY_MS;
            else
                state.gaveUp.erase(record);
            return true;
        }
    }
    return false;
}

bool sHasRecord(const SyncState& state, uint32_t key) {
    for (const GaveUp& record : state.gaveUp)
        if (record.key == key) return true;
    return false;
}

uint8_t sDrainLate(const aPacket* packet, const void* ref) {
    sTakeLate(*static_cast<SyncState*>(const_cast<void*>(ref)), packet);
    return 1;
}

struct ReplyMatch {
    uint8_t address;
};

uint8_t sFromAddress(const aPacket* packet, const void* ref) {
    const auto* match = static_cast<const ReplyMatch*>(ref);
    if (match->address == aLINK_ADDRESS_SYNC) return packet->dataSize == 0;
    return packet->address == match->address;
}

bool sLinkUsable(const aServer* server) {
    return !server->stopping && aLink_GetStatus(server->usbLink) == LINK_RUNNING;
}

// The next packet for this request until the deadline; late replies of requests that
// gave up are dropped on the way.
aPacket* sAwaitReply(SyncState& state, const ReplyMatch& match, uint64_t deadline) {
    for (;;) {
        const uint64_t now = aTime_GetMonotonicMS();
        if (now >= deadline || !sLinkUsable(state.server)) return nullptr;
        const uint64_t slice = deadline - now < REPLY_SLICE_MS ? deadline - now : REPLY_SLICE_MS;
        aPacket* reply = aLink_AwaitFirst(state.server->usbLink, sFromAddress, &match, slice);
        if (!reply) continue;
        sPrune(state);
        if (!sTakeLate(state, reply)) return reply;
        aPacket_Destroy(&reply);
    }
}

// Waits until no late reply that this request could take for its own can still come.
void sWaitOutLateReplies(SyncState& state, uint32_t key, uint8_t address) {
    const ReplyMatch match{address};
    for (sPrune(state); sHasRecord(state, key) && sLinkUsable(state.server); sPrune(state)) {
        uint64_t until = 0;
        for (const GaveUp& record : state.gaveUp)
            if (record.key == key && record.expires > until) until = record.expires;
        aPacket* packet = sAwaitReply(state, match, until);
        // Not late for anyone: nobody asked for it.
        aPacket_Destroy(&packet);
    }
}

void sAnswer(zsock_t* socket, aServerSyncAnswer kind, std::vector<aPacket*>& replies) {
    zmsg_t* answer = zmsg_new();
    const uint8_t kindByte = kind;
    zmsg_addmem(answer, &kindByte, 1);
    for (aPacket*& reply : replies) {
        zframe_t* frame = aServer_PacketToFrame(reply);
        zmsg_append(answer, &frame);
        aPacket_Destroy(&reply);
    }
    replies.clear();
    if (zmsg_send(&answer, socket) != 0) {
        aTrace(TRACE_SERVER, "Failed to SENDY-SEND!\n");
        zmsg_destroy(&answer);
    }
}

aServerSyncAnswer sRun(SyncState& state, const std::vector<aPacket*>& packets, std::vector<aPacket*>& replies)
    aREQUIRES(aServerSyncActor) {
    aServer* server = state.server;
    const aPacket* last = packets.back();
    const bool expectsReply = aServer_ExpectsReply(last);
    const uint32_t key = aServer_RequestKey(last);
    if (expectsReply) sWaitOutLateReplies(state, key, last->address);
    // Whatever waits in the queue now answers nothing that is asked next.
    aLink_DrainPackets(server->usbLink, sDrainLate, &state);
    aErr put = aErrNone;
    for (const aPacket* packet : packets)
        if (put == aErrNone) put = aLink_PutPacket(server->usbLink, packet);
    if (put != aErrNone) {
        aTrace(TRACE_SERVER, "Failed to PUT packet: err: %d\n", static_cast<int>(put));
        return aSERVER_ANSWER_DROPPED;
    }
    if (!expectsReply) {
        aTrace(TRACE_SERVER, "don't wait on this packet\n");
        return aSERVER_ANSWER_NONE;
    }
    const ReplyMatch match{last->address};
    bool complete = false;
    while (aPacket* reply = sAwaitReply(state, match, aTime_GetMonotonicMS() + REPLY_WAIT_MS)) {
        replies.push_back(reply);
        if (!aServer_DoesPacketContinue(reply)) {
            complete = true;
            break;
        }
    }
    if (complete) return aSERVER_ANSWER_REPLIES;
    state.gaveUp.push_back(GaveUp{key, aTime_GetMonotonicMS() + aSERVER_LATE_REPLY_MS});
    if (!replies.empty()) return aSERVER_ANSWER_CUT;
    aTrace(TRACE_SERVER, "Failed to AWAIT packet\n");
    return aSERVER_ANSWER_GAVE_UP;
}

void sExecute(SyncState& state, zsock_t* socket) aREQUIRES(aServerSyncActor) {
    zmsg_t* request = zmsg_recv(socket);
    if (!request) return;
    std::vector<aPacket*> packets;
    bool wellFormed = zmsg_size(request) > 0;
    while (zframe_t* frame = zmsg_pop(request)) {
        aPacket* packet = aServer_FrameToPacket(frame);
        zframe_destroy(&frame);
        if (!packet)
            wellFormed = false;
        else
            packets.push_back(packet);
    }
    zmsg_destroy(&request);
    std::vector<aPacket*> replies;
    const aServerSyncAnswer kind = wellFormed ? sRun(state, packets, replies) : aSERVER_ANSWER_DROPPED;
    for (aPacket*& packet : packets) aPacket_Destroy(&packet);
    if (kind == aSERVER_ANSWER_DROPPED || kind == aSERVER_ANSWER_GAVE_UP) aTrace(TRACE_SERVER, "DROPPED PACKET!\n");
    sAnswer(socket, kind, replies);
}

}  // namespace

uint32_t aServer_RequestKey(const aPacket* request) {
    if (request->address == aLINK_ADDRESS_SYNC && request->dataSize == 0) return KEY_QUERY;
    return sKeyOf(request);
}

bool aServer_ReplyMatches(const aPacket* reply, uint32_t requestKey) {
    if (requestKey == KEY_QUERY) return reply->dataSize == 0;
    return sKeyOf(reply) == requestKey;
}

bool aServer_DoesPacketContinue(const aPacket* packet) {
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

bool aServer_ExpectsReply(const aPacket* packet) {
    return packet->address != aLINK_ADDRESS_ROUTE && !aServer_DoesPacketContinue(packet);
}

void aServerRequests_SyncActor(zsock_t* pipe, void* ref) {
    SyncState state{static_cast<aServer*>(ref), {}};
    aServerInRole asSync(aServerSyncActor);
    zsock_signal(pipe, 0);
    aTrace(TRACE_SERVER, "sync task start\n");
    zsock_set_sndtimeo(state.server->syncActorSocket, INTERNAL_SEND_TIMEOUT_MS);
    zpoller_t* poller = zpoller_new(pipe, state.server->syncActorSocket, nullptr);
    zsock_signal(pipe, 0);
    while (poller) {
        void* which = zpoller_wait(poller, 1000);
        if (which == pipe) break;
        if (which == state.server->syncActorSocket)
            sExecute(state, state.server->syncActorSocket);
        else if (!which && aCzmqActor_PollEnds(poller))
            break;
    }
    zpoller_destroy(&poller);
    aTrace(TRACE_SERVER, "sync task exit\n");
}
