// The link server's broker side of the request path. Every client has its own bounded
// queue; the broker hands one request at a time to the sync actor, taking the clients
// in turn, and sends the answer to the client the request came from, so a client that
// floods or asks an absent module holds up the others by one request at most. A
// multi-chunk value write is gathered first and handed over as one message, so no other
// client's packet lands between its chunks. A client is known while its connection is
// open; when the connection goes (or a send finds it gone) the client loses its queue,
// its pending writes and its stream subscriptions.
//
// What all clients together make the server keep (queued and gathered packets and
// subscriptions) is bounded. A request past a bound is answered at once the way a
// module refuses a value exchange, with an error reply carrying aErrBusy; a packet that
// has no error form is not run, as a request the module never answered.
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <new>
#include <set>
#include <string>
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
// What one client can make the server keep. A library client link queues at most
// 1000 packets before its own queue empties itself, so all of them fit.
const size_t QUEUE_LIMIT = 1024;
const size_t STREAMS_PER_CLIENT = 64;
const size_t POOLS_PER_CLIENT = 8;
const size_t CHUNKS_PER_POOL = 128;
// What all clients together can make the server keep: queued and gathered packets and
// subscriptions, a few hundred bytes each, about 16 MiB in all.
const size_t HELD_LIMIT = 65536;
// How often the server asks the module for a stream change of its own that got no answer.
const unsigned OWN_ATTEMPTS = 3;
// Client messages taken per wake, so the broker keeps up with a flood.
const int READS_PER_WAKE = 1000;
const uint8_t STREAM_COMMAND = aCMD_STREAM;
const uint8_t STREAM_ENABLE = aCMD_OPTION_SET | aCMD_STREAM_ENABLE;
const uint8_t STREAM_DISABLE = aCMD_OPTION_SET | aCMD_STREAM_DISABLE;
const uint8_t STREAM_DISABLED = 0xC2;
const uint8_t STREAM_REQUEST_SIZE = 7;
const uint8_t STREAM_ANY = 0xFF;
const uint8_t OPTION_NUMBER = 0x3F;
const uint8_t SET_ACKNOWLEDGED = 0xC0;
const uint8_t ERROR_REPLY = 0x80;
const uint8_t INDEX_BITS = 0x1F;

bool sIsBlacklisted(const aPacket* packet) {
    return packet->address == aLINK_ADDRESS_ROUTE && packet->dataSize == 1;
}

enum class Kind { Plain, StreamEnable, StreamDisable };

struct Request {
    std::vector<zframe_t*> frames;
    Kind kind = Kind::Plain;
    uint32_t stream = 0;
    uint8_t address = 0;
    uint32_t key = 0;
    // The answer goes to the client; cleared by a flush and for the server's own requests.
    bool owed = true;
    // How often the server has asked this of its own.
    unsigned attempts = 0;
};

struct Client {
    zframe_t* identity = nullptr;  // null for the server's own requests
    // The connection the client came on; -1 when its messages do not tell.
    int descriptor = -1;
    std::deque<Request> queue;
    // Stream values the module accepted the client's enable of.
    std::set<uint32_t> streams;
    // Stream values the module may be streaming on the client's account though it never
    // said so: an enable, or a disable, of the client's that got no answer (the module
    // may have carried it out and lost its reply, or never got it).
    std::set<uint32_t> unsure;
};

struct Pool {
    zframe_t* identity = nullptr;
    uint8_t address = 0;
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t specifier = 0;
    std::vector<zframe_t*> chunks;
    uint8_t lastSequence = 0;
    uint32_t ttl = POOL_TTL;
    // Begun when the server could keep no more: its chunks are not kept, and its last
    // chunk is refused.
    bool refused = false;
    size_t held() const { return refused ? 1 : chunks.size(); }
};

// The clients a stream value is streamed for (their enables accepted) and those it may
// be streamed for (in their `unsure`).
struct StreamUse {
    unsigned clients = 0;
    unsigned unsure = 0;
    uint8_t address = 0;
};

void sDestroyRequest(Request& request) {
    for (zframe_t*& frame : request.frames) zframe_destroy(&frame);
    request.frames.clear();
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

std::string sKey(zframe_t* identity) {
    return identity ? std::string(reinterpret_cast<const char*>(zframe_data(identity)), zframe_size(identity))
                    : std::string();
}

// 0xFF in an element of a stream id stands for every value of it.
bool sCovers(uint32_t pattern, uint32_t stream) {
    for (int shift = 0; shift < 32; shift += 8) {
        const uint8_t wanted = static_cast<uint8_t>(pattern >> shift);
        if (wanted != STREAM_ANY && wanted != static_cast<uint8_t>(stream >> shift)) return false;
    }
    return true;
}

}  // namespace

struct aServerRequestState {
    // Keyed by routing identity; the empty key holds the server's own requests.
    std::map<std::string, Client> clients;
    // The clients of each open connection.
    std::multimap<int, std::string> byDescriptor;
    // Clients with queued requests, whose turn is next first.
    std::deque<std::string> turns;
    std::list<Pool> pools;
    std::map<uint32_t, StreamUse> streamUses;
    // Request keys held back until a late reply can no longer be mistaken for theirs.
    std::map<uint32_t, uint64_t> quietUntil;
    // Packets queued and gathered, open writes refused, and subscriptions, of every client.
    size_t held = 0;
    bool inFlight = false;
    std::string inFlightClient;
    Request inFlightRequest;
};

namespace {

void sDestroyPool(aServerRequestState* state, Pool& pool) {
    state->held -= pool.held();
    zframe_destroy(&pool.identity);
    for (zframe_t*& chunk : pool.chunks) zframe_destroy(&chunk);
    pool.chunks.clear();
}

// A client whose messages do not tell its connection is kept only while it has
// something the server holds for it.
void sForgetIfIdle(aServerRequestState* state, const std::string& key) {
    auto client = state->clients.find(key);
    if (client == state->clients.end() || key.empty() || client->second.descriptor >= 0) return;
    if (!client->second.queue.empty() || !client->second.streams.empty() || !client->second.unsure.empty()) return;
    if (state->inFlight && state->inFlightClient == key) return;
    zframe_destroy(&client->second.identity);
    state->clients.erase(client);
}

// Queues the request; false (and the request is left to the caller) when its client's
// queue or what the server holds is full. The server's own requests are never held back.
bool sEnqueue(aServerRequestState* state, const std::string& key, Request& request, bool bounded = true) {
    Client& client = state->clients[key];
    if (bounded && (client.queue.size() >= QUEUE_LIMIT || state->held + request.frames.size() > HELD_LIMIT)) {
        aTrace(TRACE_SERVER, "request queue full, refused\n");
        return false;
    }
    if (client.queue.empty()) state->turns.push_back(key);
    state->held += request.frames.size();
    client.queue.push_back(std::move(request));
    request = Request();
    return true;
}

Request sStreamRequest(uint8_t address, Kind kind, uint32_t stream) {
    uint8_t data[STREAM_REQUEST_SIZE] = {STREAM_COMMAND, kind == Kind::StreamEnable ? STREAM_ENABLE : STREAM_DISABLE,
                                         0x20};
    aByteOrder_WriteBE32(data + 3, stream);
    aPacket* packet = aPacket_CreateWithData(address, sizeof data, data);
    Request request;
    request.address = address;
    request.stream = stream;
    request.kind = kind;
    request.owed = false;
    if (packet) {
        request.key = aServer_RequestKey(packet);
        request.frames.push_back(aServer_PacketToFrame(packet));
        aPacket_Destroy(&packet);
    }
    return request;
}

unsigned sAcceptedUses(const aServerRequestState* state, uint32_t stream) {
    auto use = state->streamUses.find(stream);
    return use == state->streamUses.end() ? 0 : use->second.clients;
}

void sForgetUseIfNone(aServerRequestState* state, uint32_t stream) {
    auto use = state->streamUses.find(stream);
    if (use != state->streamUses.end() && use->second.clients == 0 && use->second.unsure == 0)
        state->streamUses.erase(use);
}

// The client gives up these streams, those it holds and those it may hold; the module
// stops every one no client with an accepted enable still wants. A pattern disable on the
// module ends every stream it covers, so the streams it covers that others still want
// are enabled again after it.
std::vector<Request> sReleaseStreams(aServerRequestState* state, Client& client, uint32_t pattern) {
    std::vector<std::pair<uint32_t, uint8_t>> unwanted;
    auto release = [&](std::set<uint32_t>& values, unsigned StreamUse::*count) {
        for (auto stream = values.begin(); stream != values.end();) {
            if (!sCovers(pattern, *stream)) {
                ++stream;
                continue;
            }
            StreamUse& use = state->streamUses[*stream];
            if (use.*count > 0) --(use.*count);
            if (use.clients == 0) unwanted.emplace_back(*stream, use.address);
            sForgetUseIfNone(state, *stream);
            stream = values.erase(stream);
            --state->held;
        }
    };
    release(client.streams, &StreamUse::clients);
    release(client.unsure, &StreamUse::unsure);
    std::vector<Request> requests;
    std::set<uint32_t> enableAgain;
    for (const auto& stream : unwanted) {
        requests.push_back(sStreamRequest(stream.second, Kind::StreamDisable, stream.first));
        for (const auto& use : state->streamUses)
            if (use.first != stream.first && use.second.clients > 0 && sCovers(stream.first, use.first))
                enableAgain.insert(use.first);
    }
    for (const uint32_t stream : enableAgain)
        requests.push_back(sStreamRequest(state->streamUses[stream].address, Kind::StreamEnable, stream));
    return requests;
}

void sEnqueueOwn(aServerRequestState* state, std::vector<Request>& requests) {
    for (Request& request : requests) sEnqueue(state, std::string(), request, false);
}

Client* sConnectedClient(aServerRequestState* state, const std::string& key) {
    auto found = state->clients.find(key);
    return found != state->clients.end() && found->second.identity ? &found->second : nullptr;
}

// The module may stream the value for a client that has gone: it stops unless a client
// with an accepted enable wants it.
void sStopForGone(aServerRequestState* state, const Request& request) {
    if (sAcceptedUses(state, request.stream) > 0) return;
    std::vector<Request> stop;
    stop.push_back(sStreamRequest(request.address, Kind::StreamDisable, request.stream));
    sEnqueueOwn(state, stop);
}

// The module accepted the client's enable: from now the client is a subscriber.
void sSubscribe(aServerRequestState* state, const std::string& key, const Request& enable) {
    Client* client = sConnectedClient(state, key);
    if (!client) return sStopForGone(state, enable);
    StreamUse& use = state->streamUses[enable.stream];
    use.address = enable.address;
    if (client->unsure.erase(enable.stream) > 0) {
        --use.unsure;
        --state->held;
    }
    if (client->streams.insert(enable.stream).second) {
        aTrace(TRACE_SERVER, "Added stream entry\n");
        ++state->held;
        ++use.clients;
    }
}

// A stream request got no answer, or the module refused a disable: the module may
// stream the value. A client's own next disable of it goes to the module, and so does
// the server's when the client goes; a request of the server's own is asked again.
void sMayStream(aServerRequestState* state, const std::string& key, const Request& request) {
    if (key.empty()) {
        if (request.attempts + 1 >= OWN_ATTEMPTS) return;
        std::vector<Request> again;
        again.push_back(sStreamRequest(request.address, request.kind, request.stream));
        again[0].attempts = request.attempts + 1;
        sEnqueueOwn(state, again);
        return;
    }
    Client* client = sConnectedClient(state, key);
    if (!client) return sStopForGone(state, request);
    if (client->streams.count(request.stream) || !client->unsure.insert(request.stream).second) return;
    StreamUse& use = state->streamUses[request.stream];
    ++use.unsure;
    use.address = request.address;
    ++state->held;
}

void sDropPools(aServerRequestState* state, zframe_t* identity) {
    for (auto pool = state->pools.begin(); pool != state->pools.end();) {
        if (zframe_eq(pool->identity, identity)) {
            sDestroyPool(state, *pool);
            pool = state->pools.erase(pool);
        } else {
            ++pool;
        }
    }
}

// The client is gone: its requests are not run, and the module stops the streams
// that only it wanted.
void sDropClient(aServerRequestState* state, const std::string& key) {
    auto found = state->clients.find(key);
    if (found == state->clients.end() || key.empty()) return;
    aTrace(TRACE_SERVER, "client gone, %zu requests dropped\n", found->second.queue.size());
    Client& client = found->second;
    for (Request& request : client.queue) {
        state->held -= request.frames.size();
        sDestroyRequest(request);
    }
    client.queue.clear();
    for (auto turn = state->turns.begin(); turn != state->turns.end();)
        turn = *turn == key ? state->turns.erase(turn) : turn + 1;
    std::vector<Request> stops = sReleaseStreams(state, client, 0xFFFFFFFFu);
    sEnqueueOwn(state, stops);
    sDropPools(state, client.identity);
    if (state->inFlight && state->inFlightClient == key) state->inFlightRequest.owed = false;
    auto range = state->byDescriptor.equal_range(client.descriptor);
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (entry->second == key) {
            state->byDescriptor.erase(entry);
            break;
        }
    }
    zframe_destroy(&client.identity);
    state->clients.erase(found);
}

// Every connection lost since the last look takes its clients with it.
void sTakeConnectionEvents(aServer* server, aServerRequestState* state) aREQUIRES(aServerBroker) {
    std::vector<int> lost;
    aServerConnections_Take(server->connections, &lost);
    for (const int descriptor : lost) {
        std::vector<std::string> keys;
        auto range = state->byDescriptor.equal_range(descriptor);
        for (auto entry = range.first; entry != range.second; ++entry) keys.push_back(entry->second);
        for (const std::string& key : keys) sDropClient(state, key);
    }
}

// Sends to a client; false when the client is gone (the send may also be refused for a
// full pipe, which loses only that frame).
bool sSendToClient(aServer* server, zframe_t* identity, zframe_t* frame) aREQUIRES(aServerBroker) {
    zframe_t* frames[2] = {identity, frame};
    if (sSendFrames(server->clientSocket, frames, 2)) return true;
    aTrace(TRACE_SERVER, "failed to send sync message\n");
    return errno != EHOSTUNREACH;
}

// The server's own answer to a value exchange it does not run: the module's error reply.
void sRefuse(aServer* server, zframe_t* identity, const aPacket* packet) aREQUIRES(aServerBroker) {
    if (!aUEI_isUEIPayload(packet) || packet->dataSize < 3) {
        aTrace(TRACE_SERVER, "request not kept and not answerable, dropped\n");
        return;
    }
    const uint8_t option = packet->data[1];
    const uint8_t number = option & OPTION_NUMBER;
    const uint8_t replyOption = (option & aCMD_OPTION_SET) ? static_cast<uint8_t>(number | SET_ACKNOWLEDGED) : number;
    const uint8_t refusal[] = {packet->address,
                               4,
                               packet->data[0],
                               replyOption,
                               static_cast<uint8_t>(ERROR_REPLY | (packet->data[2] & INDEX_BITS)),
                               aErrBusy};
    zframe_t* frame = zframe_new(refusal, sizeof refusal);
    if (frame) sSendToClient(server, identity, frame);
    zframe_destroy(&frame);
}

void sRefuseFrame(aServer* server, zframe_t* identity, zframe_t* frame) aREQUIRES(aServerBroker) {
    aPacket* packet = aServer_FrameToPacket(frame);
    if (packet && identity) sRefuse(server, identity, packet);
    if (packet) aPacket_Destroy(&packet);
}

void sAgePools(aServerRequestState* state) {
    for (auto pool = state->pools.begin(); pool != state->pools.end();) {
        if (pool->ttl == 0) {
            aTrace(TRACE_SERVER, "setUEIBytes is stale, destroying\n");
            sDestroyPool(state, *pool);
            pool = state->pools.erase(pool);
        } else {
            --pool->ttl;
            ++pool;
        }
    }
}

size_t sPoolsOf(const aServerRequestState* state, zframe_t* identity) {
    size_t count = 0;
    for (const Pool& pool : state->pools) count += zframe_eq(pool.identity, identity) ? 1 : 0;
    return count;
}

// Gathers multi-chunk value writes; true when the packet was taken. A complete write
// is queued as one request.
bool sHandleSetUEIBytes(aServer* server, aServerRequestState* state, zframe_t* identity, zframe_t* frame,
                        const aPacket* packet) aREQUIRES(aServerBroker) {
    if (!aUEI_isUEIPayload(packet)) return false;
    sAgePools(state);
    if (packet->dataSize < 3) return false;
    const bool leading = aServer_DoesPacketContinue(packet);
    const bool opens = leading && aUEI_getBytesSequence(packet) == 0;
    auto pool = state->pools.begin();
    while (pool != state->pools.end() && !sPoolMatches(*pool, identity, packet)) ++pool;
    if (pool == state->pools.end()) {
        if (!opens) {
            // A leading chunk of a write the server does not hold (refused, aged out or
            // never begun) means nothing alone; the write's last chunk is answered.
            if (leading) aTrace(TRACE_SERVER, "chunk of no open write, dropped\n");
            return leading;
        }
        if (sPoolsOf(state, identity) >= POOLS_PER_CLIENT) {
            aTrace(TRACE_SERVER, "too many open writes, chunk dropped\n");
            return true;
        }
        Pool made;
        made.identity = zframe_dup(identity);
        made.address = packet->address;
        made.command = packet->data[0];
        made.option = packet->data[1];
        made.specifier = packet->data[2];
        pool = state->pools.insert(state->pools.end(), made);
    } else if (opens) {
        // A new first chunk: the client began the write again.
        state->held -= pool->held();
        for (zframe_t*& chunk : pool->chunks) zframe_destroy(&chunk);
        pool->chunks.clear();
        pool->refused = false;
        pool->lastSequence = 0;
        pool->ttl = POOL_TTL;
    } else if (aUEI_getBytesSequence(packet) != static_cast<uint8_t>((pool->lastSequence + 1) & 0x7F)) {
        aTrace(TRACE_SERVER, "BOOM: Sequence mix up. ttl will clean it up. \n");
        return true;
    }
    aTrace(TRACE_SERVER, "UEIBytes\n");
    if (opens && state->held >= HELD_LIMIT) {
        aTrace(TRACE_SERVER, "no room for a write, refused\n");
        pool->refused = true;
        ++state->held;
    }
    if (!pool->refused) {
        if (pool->chunks.size() >= CHUNKS_PER_POOL) {
            aTrace(TRACE_SERVER, "write too long, dropped\n");
            sDestroyPool(state, *pool);
            state->pools.erase(pool);
            return true;
        }
        pool->chunks.push_back(zframe_dup(frame));
        ++state->held;
    }
    if (leading) {
        pool->lastSequence = aUEI_getBytesSequence(packet);
        return true;
    }
    const bool refused = pool->refused;
    Request request;
    request.frames.swap(pool->chunks);
    state->held -= request.frames.size();
    request.address = packet->address;
    request.key = aServer_RequestKey(packet);
    sDestroyPool(state, *pool);
    state->pools.erase(pool);
    if (refused || !sEnqueue(state, sKey(identity), request)) {
        sRefuse(server, identity, packet);
        sDestroyRequest(request);
    }
    return true;
}

Request sClientRequest(zframe_t* frame, const aPacket* packet) {
    Request request;
    request.frames.push_back(zframe_dup(frame));
    request.address = packet->address;
    request.key = aServer_RequestKey(packet);
    if (packet->dataSize == STREAM_REQUEST_SIZE && packet->data[0] == STREAM_COMMAND) {
        request.stream = aByteOrder_ReadBE32(packet->data + 3);
        if (packet->data[1] == STREAM_ENABLE)
            request.kind = Kind::StreamEnable;
        else if (packet->data[1] == STREAM_DISABLE)
            request.kind = Kind::StreamDisable;
        else
            aTrace(TRACE_SERVER, "unknown stream enable: %d\n", packet->data[1]);
    }
    return request;
}

// The client a message comes from, made when it is new; null for a message that a
// connection left behind when it closed.
Client* sClientOf(aServer* server, aServerRequestState* state, const std::string& key, zframe_t* identity,
                  zframe_t* frame) aREQUIRES(aServerBroker) {
    auto found = state->clients.find(key);
    if (found != state->clients.end()) return &found->second;
    const int descriptor = aServerConnections_Descriptor(frame);
    // Every event of the connection a new client's first message came on has been
    // reported by now: whether that connection is still open is known.
    sTakeConnectionEvents(server, state);
    if (descriptor >= 0 && !aServerConnections_IsOpen(server->connections, descriptor)) {
        aTrace(TRACE_SERVER, "message of a closed connection ignored\n");
        return nullptr;
    }
    Client& client = state->clients[key];
    client.identity = zframe_dup(identity);
    client.descriptor = descriptor;
    if (descriptor >= 0) state->byDescriptor.emplace(descriptor, key);
    return &client;
}

void sFromClientOne(aServer* server, aServerRequestState* state) aREQUIRES(aServerBroker) {
    zmsg_t* message = zmsg_recv(server->clientSocket);
    if (!message) return;
    zframe_t* identity = zmsg_pop(message);
    zframe_t* frame = zmsg_pop(message);
    aPacket* packet = aServer_FrameToPacket(frame);
    const std::string key = sKey(identity);
    Client* client = identity && packet ? sClientOf(server, state, key, identity, frame) : nullptr;
    if (client && !sHandleSetUEIBytes(server, state, identity, frame, packet)) {
        if (sIsBlacklisted(packet)) {
            aTrace(TRACE_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
        } else {
            Request request = sClientRequest(frame, packet);
            if (!sEnqueue(state, key, request)) {
                sRefuse(server, identity, packet);
                sDestroyRequest(request);
            }
        }
    }
    if (packet) aPacket_Destroy(&packet);
    zframe_destroy(&frame);
    zframe_destroy(&identity);
    zmsg_destroy(&message);
}

bool sQuiet(aServerRequestState* state, uint32_t key) {
    auto found = state->quietUntil.find(key);
    if (found == state->quietUntil.end()) return false;
    if (found->second > aTime_GetMonotonicMS()) return true;
    state->quietUntil.erase(found);
    return false;
}

void sAcknowledgeDisable(aServer* server, Client& client, uint8_t address) aREQUIRES(aServerBroker) {
    const uint8_t ack[] = {address, 3, STREAM_COMMAND, STREAM_DISABLED, 0x00};
    zframe_t* frame = zframe_new(ack, sizeof ack);
    if (frame && client.identity) sSendToClient(server, client.identity, frame);
    zframe_destroy(&frame);
}

// Stream bookkeeping of a request whose turn has come; false when the request is
// answered here and goes no further.
bool sPrepareStream(aServer* server, aServerRequestState* state, const std::string& key, Request& request)
    aREQUIRES(aServerBroker) {
    if (request.kind == Kind::Plain) return true;
    if (key.empty()) {
        // The server's own change is left out when it is no longer wanted: a client's
        // enable was accepted since its disable was queued, or the clients its enable
        // was for have gone.
        const bool subscribed = sAcceptedUses(state, request.stream) > 0;
        return request.kind == Kind::StreamEnable ? subscribed : !subscribed;
    }
    Client& client = state->clients[key];
    if (request.kind == Kind::StreamEnable) {
        // Counted once the module has accepted it (aServerRequests_FromSync).
        if (client.streams.count(request.stream) || client.unsure.count(request.stream)) return true;
        if (client.streams.size() + client.unsure.size() < STREAMS_PER_CLIENT && state->held < HELD_LIMIT)
            return true;
        aTrace(TRACE_SERVER, "stream limit reached, enable refused\n");
        if (request.owed) sRefuseFrame(server, client.identity, request.frames[0]);
        return false;
    }
    std::vector<Request> module = sReleaseStreams(state, client, request.stream);
    if (module.empty()) {
        if (request.owed) sAcknowledgeDisable(server, client, request.address);
        return false;
    }
    // The client's acknowledgement is the module's answer to the last disable; the
    // rest are the server's own and follow it, enables after every disable.
    size_t lastDisable = 0;
    for (size_t i = 0; i < module.size(); ++i)
        if (module[i].kind == Kind::StreamDisable) lastDisable = i;
    module[lastDisable].owed = request.owed;
    sDestroyRequest(request);
    request = std::move(module[lastDisable]);
    for (size_t i = 0; i < module.size(); ++i)
        if (i != lastDisable) sEnqueue(state, std::string(), module[i], false);
    return true;
}

bool sSendToSync(aServer* server, aServerRequestState* state, const std::string& key, Request& request)
    aREQUIRES(aServerBroker) {
    if (!sSendFrames(server->syncBrokerSocket, request.frames.data(), request.frames.size())) {
        aTrace(TRACE_SERVER, "Failed to send packet out!\n");
        sDestroyRequest(request);
        return false;
    }
    state->inFlight = true;
    state->inFlightClient = key;
    state->inFlightRequest = std::move(request);
    request = Request();
    return true;
}

// The module carried out the stream request: its acknowledgement carries no error flag.
bool sModuleTook(zmsg_t* answer) {
    zframe_t* reply = zmsg_last(answer);
    if (!reply || zframe_size(reply) < 5) return false;
    const uint8_t* bytes = zframe_data(reply);
    return bytes[2] == STREAM_COMMAND && (bytes[4] & ERROR_REPLY) == 0;
}

}  // namespace

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
    for (auto& entry : (*state)->clients) {
        for (Request& request : entry.second.queue) sDestroyRequest(request);
        zframe_destroy(&entry.second.identity);
    }
    for (Pool& pool : (*state)->pools) sDestroyPool(*state, pool);
    sDestroyRequest((*state)->inFlightRequest);
    delete *state;
    *state = nullptr;
}

void aServerRequests_Flush(aServerRequestState* state) {
    aTrace(TRACE_SERVER, "Flushing FIFO\n");
    state->inFlightRequest.owed = false;
    for (auto& entry : state->clients)
        for (Request& request : entry.second.queue) request.owed = false;
}

void aServerRequests_DropAll(aServerRequestState* state) {
    std::vector<std::string> keys;
    for (const auto& entry : state->clients)
        if (!entry.first.empty()) keys.push_back(entry.first);
    for (const std::string& key : keys) sDropClient(state, key);
}

void aServerRequests_Connections(aServer* server, aServerRequestState* state) {
    sTakeConnectionEvents(server, state);
}

void aServerRequests_FromClient(aServer* server, aServerRequestState* state) {
    for (int read = 0; read < READS_PER_WAKE && (zsock_events(server->clientSocket) & ZMQ_POLLIN); ++read)
        sFromClientOne(server, state);
}

void aServerRequests_Dispatch(aServer* server, aServerRequestState* state) {
    size_t heldBack = 0;
    while (!state->inFlight && !state->turns.empty() && heldBack < state->turns.size()) {
        const std::string key = state->turns.front();
        state->turns.pop_front();
        Client& client = state->clients[key];
        if (client.queue.empty()) continue;
        if (sQuiet(state, client.queue.front().key)) {
            state->turns.push_back(key);
            ++heldBack;
            continue;
        }
        heldBack = 0;
        Request request = std::move(client.queue.front());
        client.queue.pop_front();
        state->held -= request.frames.size();
        if (!client.queue.empty()) state->turns.push_back(key);
        if (sPrepareStream(server, state, key, request)) {
            if (sSendToSync(server, state, key, request)) break;
        } else {
            sDestroyRequest(request);
        }
        sForgetIfIdle(state, key);
    }
}

int aServerRequests_WaitMs(aServerRequestState* state, int longest) {
    if (state->inFlight || state->turns.empty() || state->quietUntil.empty()) return longest;
    const uint64_t now = aTime_GetMonotonicMS();
    uint64_t wait = static_cast<uint64_t>(longest);
    for (auto quiet = state->quietUntil.begin(); quiet != state->quietUntil.end();) {
        if (quiet->second <= now) {
            quiet = state->quietUntil.erase(quiet);
            continue;
        }
        if (quiet->second - now < wait) wait = quiet->second - now;
        ++quiet;
    }
    return static_cast<int>(wait < 1 ? 1 : wait);
}

void aServerRequests_FromSync(aServer* server, aServerRequestState* state) {
    zmsg_t* answer = zmsg_recv(server->syncBrokerSocket);
    if (!answer) {
        aTrace(TRACE_SERVER, "no content to pop\n");
        return;
    }
    if (!state->inFlight) {
        aTrace(TRACE_SERVER, "no id to pop\n");
        zmsg_destroy(&answer);
        return;
    }
    state->inFlight = false;
    Request request = std::move(state->inFlightRequest);
    state->inFlightRequest = Request();
    const std::string key = state->inFlightClient;
    zframe_t* kind = zmsg_pop(answer);
    const uint8_t kindByte =
        kind && zframe_size(kind) == 1 ? zframe_data(kind)[0] : static_cast<uint8_t>(aSERVER_ANSWER_DROPPED);
    if (kindByte == aSERVER_ANSWER_GAVE_UP || kindByte == aSERVER_ANSWER_CUT)
        state->quietUntil[request.key] = aTime_GetMonotonicMS() + aSERVER_LATE_REPLY_MS;
    if (kindByte == aSERVER_ANSWER_DROPPED || kindByte == aSERVER_ANSWER_GAVE_UP) aTrace(TRACE_SERVER, "dropping id\n");
    const bool took = kindByte == aSERVER_ANSWER_REPLIES && sModuleTook(answer);
    const bool unanswered = kindByte == aSERVER_ANSWER_GAVE_UP || kindByte == aSERVER_ANSWER_CUT;
    if (request.kind == Kind::StreamEnable && took && !key.empty())
        sSubscribe(state, key, request);
    else if ((request.kind == Kind::StreamEnable && unanswered) ||
             (request.kind == Kind::StreamDisable && !took && kindByte != aSERVER_ANSWER_DROPPED))
        sMayStream(state, key, request);
    auto client = state->clients.find(key);
    const bool deliver = request.owed && client != state->clients.end() && client->second.identity &&
                         (kindByte == aSERVER_ANSWER_REPLIES || kindByte == aSERVER_ANSWER_CUT);
    bool gone = false;
    if (deliver) {
        aTrace(TRACE_SERVER, "Num packets coming: %zu\n", zmsg_size(answer));
        while (zframe_t* reply = zmsg_pop(answer)) {
            gone = !sSendToClient(server, client->second.identity, reply);
            zframe_destroy(&reply);
            if (gone) break;
            aTrace(TRACE_SERVER, "Processing PACKET\n");
        }
    }
    zframe_destroy(&kind);
    zmsg_destroy(&answer);
    sDestroyRequest(request);
    if (gone)
        sDropClient(state, key);
    else
        sForgetIfIdle(state, key);
}

void aServerRequests_Batch(aServer* server, aServerRequestState* state) {
    zframe_t* batch = zframe_recv(server->streamBrokerSocket);
    if (!batch) return;
    if (zframe_size(batch) == 0) {
        aTrace(TRACE_SERVER, "your content has no content!\n");
        zframe_destroy(&batch);
        return;
    }
    std::vector<std::string> gone;
    for (auto& entry : state->clients) {
        if (entry.second.streams.empty() || !entry.second.identity) continue;
        if (!sSendToClient(server, entry.second.identity, batch)) {
            aTrace(TRACE_SERVER, "failed to send id\n");
            gone.push_back(entry.first);
        }
    }
    for (const std::string& key : gone) sDropClient(state, key);
    zframe_destroy(&batch);
}
