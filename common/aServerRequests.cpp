// The link server's request and reply path. The broker hands each client request to the
// sync actor as one message and remembers, in order, whom the answer is owed to; the sync
// actor runs one request at a time against the USB link and answers every message exactly
// once, so the owed list never drifts from the requests in flight. A multi-chunk value
// write is gathered first and handed over as one message, so no other client's packet
// lands between its chunks.
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <new>
#include <set>
#include <vector>

#include "aByteOrder.h"
#include "aLink.h"
#include "aModuleCommands.h"
#include "aServerInternal.h"
#include "aTime.h"
#include "aTrace.h"
#include "aUEI.h"

namespace {

const uint32_t TRACE_SERVER = 0x4;
const uint32_t POOL_TTL = 2000;
const uint64_t REPLY_WAIT_MS = 2000;
const uint64_t REPLY_SLICE_MS = 100;
const int INTERNAL_SEND_TIMEOUT_MS = 1000;
const uint8_t STREAM_COMMAND = aCMD_STREAM;
const uint8_t STREAM_ENABLE = aCMD_OPTION_SET | aCMD_STREAM_ENABLE;
const uint8_t STREAM_DISABLE = aCMD_OPTION_SET | aCMD_STREAM_DISABLE;
const uint8_t STREAM_REQUEST_SIZE = 7;

// First frame of every answer of the sync actor.
enum SyncAnswer : uint8_t {
    ANSWER_DROPPED = 0,  // not queued, or no reply came
    ANSWER_REPLIES = 1,  // the following frames are the module's replies
    ANSWER_NONE = 2,     // the request expects no reply
};

bool sDoesPacketContinue(const aPacket* packet) {
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

// The broker and the sync actor decide this alike: route control and the leading
// chunks of a multi-chunk write get no reply from the module.
bool sExpectsReply(const aPacket* packet) {
    return packet->address != aLINK_ADDRESS_ROUTE && !sDoesPacketContinue(packet);
}

bool sIsBlacklisted(const aPacket* packet) {
    return packet->address == aLINK_ADDRESS_ROUTE && packet->dataSize == 1;
}

struct Pool {
    zframe_t* identity = nullptr;
    uint8_t address = 0;
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t specifier = 0;
    std::vector<zframe_t*> chunks;
    uint8_t lastSequence = 0;
    uint32_t ttl = POOL_TTL;
};

struct Subscriber {
    zframe_t* identity = nullptr;
    std::set<uint32_t> streams;
};

void sDestroyPool(Pool& pool) {
    zframe_destroy(&pool.identity);
    for (zframe_t*& chunk : pool.chunks) zframe_destroy(&chunk);
    pool.chunks.clear();
}

bool sPoolMatches(const Pool& pool, zframe_t* identity, const aPacket* packet) {
    return zframe_eq(pool.identity, identity) && pool.address == packet->address && pool.command == packet->data[0] &&
           pool.option == packet->data[1] && pool.specifier == packet->data[2];
}

// Sends the frames as one message without waiting; true when it was queued.
bool sSendFrames(zsock_t* socket, zframe_t* const* frames, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const int flags = ZFRAME_REUSE | ZFRAME_DONTWAIT | (i + 1 < count ? ZFRAME_MORE : 0);
        zframe_t* frame = frames[i];
        if (zframe_send(&frame, socket, flags) != 0) return false;
    }
    return true;
}

}  // namespace

struct aServerRequestState {
    // Owed answers, oldest first; a null identity is owed to nobody.
    std::deque<zframe_t*> owed;
    std::list<Pool> pools;
    std::list<Subscriber> subscribers;
};

aPacket* aServer_FrameToPacket(zframe_t* frame) {
    if (!frame) return nullptr;
    const size_t size = zframe_size(frame);
    const uint8_t* bytes = zframe_data(frame);
    if (size < 2 || size > aPACKET_MAX_WIRE || bytes[1] > aPACKET_MAX_DATA || bytes[1] != size - 2) {
        aTrace(TRACE_SERVER, "Bad content packet: dSize: %d\n", size >= 2 ? bytes[1] : -1);
        return nullptr;
    }
    return aPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
}

zframe_t* aServer_PacketToFrame(const aPacket* packet) {
    return zframe_new(&packet->address, packet->dataSize + 2u);
}

aServerRequestState* aServerRequests_Create() {
    return new (std::nothrow) aServerRequestState;
}

void aServerRequests_Destroy(aServerRequestState** state) {
    if (!state || !*state) return;
    for (zframe_t*& identity : (*state)->owed) zframe_destroy(&identity);
    for (Pool& pool : (*state)->pools) sDestroyPool(pool);
    for (Subscriber& subscriber : (*state)->subscribers) zframe_destroy(&subscriber.identity);
    delete *state;
    *state = nullptr;
}

void aServerRequests_Flush(aServerRequestState* state) {
    aTrace(TRACE_SERVER, "Flushing FIFO\n");
    for (zframe_t*& identity : state->owed) zframe_destroy(&identity);
}

namespace {

void sUpdateSubscription(aServerRequestState* state, zframe_t* identity, const aPacket* packet) {
    if (packet->dataSize != STREAM_REQUEST_SIZE || packet->data[0] != STREAM_COMMAND) return;
    const uint32_t stream = aByteOrder_ReadBE32(packet->data + 3);
    auto found = state->subscribers.begin();
    while (found != state->subscribers.end() && !zframe_eq(found->identity, identity)) ++found;
    if (packet->data[1] == STREAM_ENABLE) {
        aTrace(TRACE_SERVER, "ZeroMQ - Streaming Enable - Size: %zu\n", state->subscribers.size());
        if (found == state->subscribers.end()) {
            Subscriber added;
            added.identity = zframe_dup(identity);
            if (!added.identity) return;
            found = state->subscribers.insert(state->subscribers.end(), added);
            aTrace(TRACE_SERVER, "Added stream entry\n");
        }
        found->streams.insert(stream);
    } else if (packet->data[1] == STREAM_DISABLE) {
        if (found == state->subscribers.end()) return;
        found->streams.erase(stream);
        if (found->streams.empty()) {
            zframe_destroy(&found->identity);
            state->subscribers.erase(found);
        }
    } else {
        aTrace(TRACE_SERVER, "unknown stream enable: %d\n", packet->data[1]);
    }
}

// Hands the frames to the sync actor as one request; the answer is owed to `identity`
// (copied) only once the request is really on its way.
void sForward(aServer* server, aServerRequestState* state, zframe_t* identity, zframe_t* const* frames, size_t count,
              bool expectsReply) {
    if (!sSendFrames(server->syncBrokerSocket, frames, count)) {
        aTrace(TRACE_SERVER, "Failed to send packet out!\n");
        return;
    }
    state->owed.push_back(expectsReply ? zframe_dup(identity) : nullptr);
}

enum class PoolResult { Pass, Taken };

PoolResult sHandleSetUEIBytes(aServer* server, aServerRequestState* state, zframe_t* identity, zframe_t* frame,
                              const aPacket* packet) {
    if (!aUEI_isUEIPayload(packet) || packet->dataSize < 3) return PoolResult::Pass;
    for (auto pool = state->pools.begin(); pool != state->pools.end();) {
        if (pool->ttl == 0) {
            aTrace(TRACE_SERVER, "setUEIBytes is stale, destroying\n");
            sDestroyPool(*pool);
            pool = state->pools.erase(pool);
        } else {
            --pool->ttl;
            ++pool;
        }
    }
    const bool opens =
        aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet) && aUEI_getBytesSequence(packet) == 0;
    auto pool = state->pools.begin();
    while (pool != state->pools.end() && !sPoolMatches(*pool, identity, packet)) ++pool;
    if (pool == state->pools.end()) {
        if (!opens) return PoolResult::Pass;
        Pool made;
        made.identity = zframe_dup(identity);
        made.address = packet->address;
        made.command = packet->data[0];
        made.option = packet->data[1];
        made.specifier = packet->data[2];
        pool = state->pools.insert(state->pools.end(), made);
    } else if (opens) {
        // A new first chunk: the client began the write again.
        for (zframe_t*& chunk : pool->chunks) zframe_destroy(&chunk);
        pool->chunks.clear();
        pool->lastSequence = 0;
        pool->ttl = POOL_TTL;
    } else if (aUEI_getBytesSequence(packet) != static_cast<uint8_t>((pool->lastSequence + 1) & 0x7F)) {
        aTrace(TRACE_SERVER, "BOOM: Sequence mix up. ttl will clean it up. \n");
        return PoolResult::Taken;
    }
    aTrace(TRACE_SERVER, "UEIBytes\n");
    pool->chunks.push_back(zframe_dup(frame));
    if (pool->chunks.size() == 1) return PoolResult::Taken;
    if (sDoesPacketContinue(packet)) {
        pool->lastSequence = aUEI_getBytesSequence(packet);
        return PoolResult::Taken;
    }
    sForward(server, state, identity, pool->chunks.data(), pool->chunks.size(), true);
    sDestroyPool(*pool);
    state->pools.erase(pool);
    return PoolResult::Taken;
}

}  // namespace

void aServerRequests_FromClient(aServer* server, aServerRequestState* state) {
    zmsg_t* message = zmsg_recv(server->clientSocket);
    if (!message) return;
    zframe_t* identity = zmsg_pop(message);
    zframe_t* frame = zmsg_pop(message);
    aPacket* packet = aServer_FrameToPacket(frame);
    if (identity && packet) {
        sUpdateSubscription(state, identity, packet);
        if (sHandleSetUEIBytes(server, state, identity, frame, packet) == PoolResult::Pass) {
            if (sIsBlacklisted(packet))
                aTrace(TRACE_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
            else
                sForward(server, state, identity, &frame, 1, sExpectsReply(packet));
        }
    }
    if (packet) aPacket_Destroy(&packet);
    zframe_destroy(&frame);
    zframe_destroy(&identity);
    zmsg_destroy(&message);
}

void aServerRequests_FromSync(aServer* server, aServerRequestState* state) {
    zmsg_t* answer = zmsg_recv(server->syncBrokerSocket);
    if (!answer) {
        aTrace(TRACE_SERVER, "no content to pop\n");
        return;
    }
    if (state->owed.empty()) {
        aTrace(TRACE_SERVER, "no id to pop\n");
        zmsg_destroy(&answer);
        return;
    }
    zframe_t* identity = state->owed.front();
    state->owed.pop_front();
    zframe_t* kind = zmsg_pop(answer);
    const bool replies = kind && zframe_size(kind) == 1 && zframe_data(kind)[0] == ANSWER_REPLIES;
    if (kind && zframe_size(kind) == 1 && zframe_data(kind)[0] == ANSWER_DROPPED)
        aTrace(TRACE_SERVER, "dropping id: fifo size: %zu\n", state->owed.size());
    if (replies && identity) {
        aTrace(TRACE_SERVER, "Num packets coming: %zu\n", zmsg_size(answer));
        while (zframe_t* reply = zmsg_pop(answer)) {
            zframe_t* frames[2] = {identity, reply};
            const bool sent = sSendFrames(server->clientSocket, frames, 2);
            zframe_destroy(&reply);
            if (!sent) {
                aTrace(TRACE_SERVER, "failed to send sync message\n");
                break;
            }
            aTrace(TRACE_SERVER, "Processing PACKET\n");
        }
    }
    zframe_destroy(&kind);
    zframe_destroy(&identity);
    zmsg_destroy(&answer);
}

void aServerRequests_Batch(aServer* server, aServerRequestState* state) {
    zframe_t* batch = zframe_recv(server->streamBrokerSocket);
    if (!batch) return;
    if (zframe_size(batch) == 0) {
        aTrace(TRACE_SERVER, "your content has no content!\n");
        zframe_destroy(&batch);
        return;
    }
    for (auto subscriber = state->subscribers.begin(); subscriber != state->subscribers.end();) {
        zframe_t* frames[2] = {subscriber->identity, batch};
        if (!sSendFrames(server->clientSocket, frames, 2) && errno == EHOSTUNREACH) {
            // The client is gone: it gets no more batches.
            aTrace(TRACE_SERVER, "failed to send id\n");
            zframe_destroy(&subscriber->identity);
            subscriber = state->subscribers.erase(subscriber);
        } else {
            ++subscriber;
        }
    }
    zframe_destroy(&batch);
}

namespace {

struct ReplyMatch {
    uint8_t address;
};

// A reply comes from the module the request went to; the address query is answered
// by an empty packet from the module's own address.
uint8_t sReplyFilter(const aPacket* packet, const void* ref) {
    const auto* match = static_cast<const ReplyMatch*>(ref);
    if (match->address == aLINK_ADDRESS_SYNC) return packet->dataSize == 0;
    return packet->address == match->address;
}

aPacket* sAwaitReply(aServer* server, const ReplyMatch& match) {
    const uint64_t deadline = aTime_GetMonotonicMS() + REPLY_WAIT_MS;
    for (;;) {
        const uint64_t now = aTime_GetMonotonicMS();
        if (now >= deadline || server->stopping || aLink_GetStatus(server->usbLink) != LINK_RUNNING) return nullptr;
        const uint64_t slice = deadline - now < REPLY_SLICE_MS ? deadline - now : REPLY_SLICE_MS;
        if (aPacket* reply = aLink_AwaitFirst(server->usbLink, sReplyFilter, &match, slice)) return reply;
    }
}

void sAnswer(zsock_t* socket, SyncAnswer kind, std::vector<aPacket*>& replies) {
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

void sExecute(aServer* server, zsock_t* socket) {
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
    SyncAnswer kind = ANSWER_DROPPED;
    if (wellFormed) {
        // Whatever waits in the queue now answers nothing that is asked next.
        aLink_DrainPackets(server->usbLink, drainAll, nullptr);
        aErr put = aErrNone;
        for (const aPacket* packet : packets)
            if (put == aErrNone) put = aLink_PutPacket(server->usbLink, packet);
        const aPacket* last = packets.back();
        if (put != aErrNone) {
            aTrace(TRACE_SERVER, "Failed to PUT packet: err: %d\n", static_cast<int>(put));
        } else if (!sExpectsReply(last)) {
            aTrace(TRACE_SERVER, "don't wait on this packet\n");
            kind = ANSWER_NONE;
        } else {
            const ReplyMatch match{last->address};
            while (aPacket* reply = sAwaitReply(server, match)) {
                replies.push_back(reply);
                if (!sDoesPacketContinue(reply)) break;
            }
            if (replies.empty())
                aTrace(TRACE_SERVER, "Failed to AWAIT packet\n");
            else
                kind = ANSWER_REPLIES;
        }
    }
    for (aPacket*& packet : packets) aPacket_Destroy(&packet);
    if (kind == ANSWER_DROPPED) aTrace(TRACE_SERVER, "DROPPED PACKET!\n");
    sAnswer(socket, kind, replies);
}

}  // namespace

void aServerRequests_SyncActor(zsock_t* pipe, void* ref) {
    auto* server = static_cast<aServer*>(ref);
    zsock_signal(pipe, 0);
    aTrace(TRACE_SERVER, "sync task start\n");
    zsock_set_sndtimeo(server->syncActorSocket, INTERNAL_SEND_TIMEOUT_MS);
    zpoller_t* poller = zpoller_new(pipe, server->syncActorSocket, nullptr);
    zsock_signal(pipe, 0);
    while (poller) {
        void* which = zpoller_wait(poller, 1000);
        if (which == pipe) break;
        if (which == server->syncActorSocket)
            sExecute(server, server->syncActorSocket);
        else if (zpoller_terminated(poller))
            break;
    }
    zpoller_destroy(&poller);
    aTrace(TRACE_SERVER, "sync task exit\n");
}
