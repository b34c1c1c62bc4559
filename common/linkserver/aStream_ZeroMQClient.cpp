// Link-server client stream: the server socket lives in a broker actor; the link's
// writer thread hands it frames over one in-process pair and its reader thread takes
// the server's frames over another. A monitor on the server socket tells the broker
// when the connection is made and when it is lost. A read waits up to a second for a
// frame; a stop of the link ends the wait at once through a wake pair.
#include "aStream_ZeroMQClient.h"
#include "aCzmqActor.h"
#include "aCzmqPair.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <czmq.h>
#include <mutex>
#include <new>

#include "aTime.h"
#include "aTrace.h"

namespace {

const uint32_t TRACE_CLIENT = 0x20;
const int BROKER_POLL_MS = 1000;
const int GET_WAIT_MS = 1000;
const int SEND_ATTEMPTS = 100;
const uint64_t SEND_RETRY_MS = 1;
// A server that never accepts the connection, or stops answering heartbeats, is
// reported within a few seconds.
const uint64_t CONNECT_LIMIT_MS = 3000;
const int HEARTBEAT_IVL_MS = 1000;
const int HEARTBEAT_TIMEOUT_MS = 3000;

enum PeerState { PEER_WAITING = 0, PEER_CONNECTED = 1, PEER_LOST = 2 };

struct zmqClientStream {
    zsock_t* server = nullptr;
    zsock_t* outgoingBind = nullptr;
    zsock_t* outgoingConnect = nullptr;
    zsock_t* incomingBind = nullptr;
    zsock_t* incomingConnect = nullptr;
    zactor_t* broker = nullptr;
    zactor_t* monitor = nullptr;
    zpoller_t* poller = nullptr;
    // The reader's poller also watches wakeReceive; wakeSend is used under wakeMutex by
    // whichever thread wakes the reader.
    zsock_t* wakeReceive = nullptr;
    zsock_t* wakeSend = nullptr;
    std::mutex wakeMutex;
    zframe_t* frame = nullptr;
    uint64_t frameOffset = 0;
    uint64_t frameSize = 0;
    uint64_t createdMs = 0;
    std::atomic<int> peer{PEER_WAITING};
    std::atomic<bool> brokerEnded{false};
};

bool sValid(const zmqClientStream* context) {
    return context && context->server;
}

// The connection is gone for good: the broker ended (an interrupt), the server went
// away, or it never answered.
bool sDead(const zmqClientStream* context) {
    if (context->brokerEnded || context->peer == PEER_LOST) return true;
    return context->peer == PEER_WAITING && aTime_GetMonotonicMS() - context->createdMs > CONNECT_LIMIT_MS;
}

bool sSendWithRetries(zsock_t* socket, zframe_t* frame) {
    for (int attempt = 0; attempt < SEND_ATTEMPTS; ++attempt) {
        zframe_t* sending = frame;
        if (zframe_send(&sending, socket, ZFRAME_REUSE | ZFRAME_DONTWAIT) == 0) return true;
        aTime_MSSleep(SEND_RETRY_MS);
    }
    return false;
}

void sMonitorEvent(zmqClientStream* context) {
    zmsg_t* event = zmsg_recv(context->monitor);
    char* name = event ? zmsg_popstr(event) : nullptr;
    if (name && strcmp(name, "CONNECTED") == 0) {
        int expected = PEER_WAITING;
        context->peer.compare_exchange_strong(expected, PEER_CONNECTED);
    } else if (name && (strcmp(name, "DISCONNECTED") == 0 || strcmp(name, "CLOSED") == 0)) {
        // A refused attempt also closes its socket; only a connection that was made
        // can be lost.
        int expected = PEER_CONNECTED;
        // An empty frame ends a reader's wait, so it reports the loss now.
        if (context->peer.compare_exchange_strong(expected, PEER_LOST)) {
            zframe_t* empty = zframe_new_empty();
            if (empty && zframe_send(&empty, context->incomingConnect, ZFRAME_DONTWAIT) != 0) zframe_destroy(&empty);
        }
    }
    zstr_free(&name);
    zmsg_destroy(&event);
}

void sBrokerTask(zsock_t* pipe, void* ref) {
    auto* context = static_cast<zmqClientStream*>(ref);
    zsock_signal(pipe, 0);
    zpoller_t* poller = zpoller_new(pipe, context->server, context->outgoingConnect, context->monitor, nullptr);
    zsock_signal(pipe, 0);
    while (poller) {
        void* which = zpoller_wait(poller, BROKER_POLL_MS);
        if (which == pipe) break;
        if (which == context->server) {
            zframe_t* frame = zframe_recv(context->server);
            if (frame && !sSendWithRetries(context->incomingConnect, frame))
                aTrace(TRACE_CLIENT, "Client send error Frontend->incomming: %d\n", errno);
            zframe_destroy(&frame);
        } else if (which == context->outgoingConnect) {
            zframe_t* frame = zframe_recv(context->outgoingConnect);
            zframe_t* sending = frame;
            if (frame && zframe_send(&sending, context->server, ZFRAME_REUSE | ZFRAME_DONTWAIT) != 0)
                aTrace(TRACE_CLIENT, "Client send error Frontend->client: %d\n", errno);
            zframe_destroy(&frame);
        } else if (which == context->monitor) {
            sMonitorEvent(context);
        } else if (!which && aCzmqActor_PollEnds(poller)) {
            break;
        }
    }
    zpoller_destroy(&poller);
    context->brokerEnded = true;
    aTrace(TRACE_CLIENT, "Client task exit\n");
}

// Wakes sent before or during a wait end it; all of them are taken at once.
void sTakeWakes(zmqClientStream* context) {
    while (zsock_events(context->wakeReceive) & ZMQ_POLLIN) {
        zframe_t* wake = zframe_recv(context->wakeReceive);
        if (!wake) break;
        zframe_destroy(&wake);
    }
}

aErr sGet(uint8_t* byte, void* ref) {
    auto* context = static_cast<zmqClientStream*>(ref);
    if (!sValid(context)) return aErrParam;
    while (!context->frame) {
        // Frames that arrived before the connection was lost are still read.
        const bool dead = sDead(context);
        void* which = zpoller_wait(context->poller, dead ? 0 : GET_WAIT_MS);
        if (!which) return dead ? aErrConnection : aErrNotReady;
        if (which == context->wakeReceive) {
            sTakeWakes(context);
            return sDead(context) ? aErrConnection : aErrNotReady;
        }
        if (which != context->incomingBind) return aErrUnknown;
        zframe_t* frame = zframe_recv(context->incomingBind);
        if (!frame) return aErrIO;
        if (zframe_size(frame) == 0) {
            // Carries no byte: skipped, and the next frame is read as usual.
            zframe_destroy(&frame);
            continue;
        }
        context->frame = frame;
        context->frameOffset = 0;
        context->frameSize = zframe_size(frame);
    }
    *byte = zframe_data(context->frame)[context->frameOffset++];
    if (context->frameOffset >= context->frameSize) {
        zframe_destroy(&context->frame);
        context->frameOffset = 0;
        context->frameSize = 0;
    }
    return aErrNone;
}

aErr sPut(const uint8_t*, void*) {
    return aErrUnimplemented;
}

aErr sWrite(const uint8_t* data, size_t length, void* ref) {
    auto* context = static_cast<zmqClientStream*>(ref);
    if (!sValid(context)) return aErrParam;
    if (sDead(context)) return aErrConnection;
    zframe_t* frame = zframe_new(data, length);
    if (!frame) return aErrMemory;
    const bool sent = sSendWithRetries(context->outgoingBind, frame);
    zframe_destroy(&frame);
    if (!sent) {
        aTrace(TRACE_CLIENT, "--Client send error outgoing->frontend: %d\n", errno);
        return aErrIO;
    }
    return aErrNone;
}

aErr sWait(uint32_t timeoutMs, void* ref) {
    auto* context = static_cast<zmqClientStream*>(ref);
    if (!sValid(context)) return aErrNone;
    if (context->frame || sDead(context)) return aErrNone;
    const int wait = timeoutMs > static_cast<uint32_t>(BROKER_POLL_MS) ? BROKER_POLL_MS : static_cast<int>(timeoutMs);
    void* which = zpoller_wait(context->poller, wait);
    if (which == context->wakeReceive) sTakeWakes(context);
    return which ? aErrNone : aErrTimeout;
}

void sWake(void* ref) {
    auto* context = static_cast<zmqClientStream*>(ref);
    if (!sValid(context)) return;
    std::lock_guard<std::mutex> waking(context->wakeMutex);
    zstr_send(context->wakeSend, "");
}

void sRelease(zmqClientStream* context) {
    zactor_destroy(&context->broker);
    zactor_destroy(&context->monitor);
    zpoller_destroy(&context->poller);
    zsock_destroy(&context->wakeSend);
    zsock_destroy(&context->wakeReceive);
    zsock_destroy(&context->server);
    zsock_destroy(&context->incomingBind);
    zsock_destroy(&context->outgoingBind);
    zsock_destroy(&context->incomingConnect);
    zsock_destroy(&context->outgoingConnect);
    zframe_destroy(&context->frame);
    delete context;
}

aErr sDelete(void* ref) {
    auto* context = static_cast<zmqClientStream*>(ref);
    aTrace(TRACE_CLIENT, "Client delete: start\n");
    if (!sValid(context)) return aErrIO;
    sRelease(context);
    aTrace(TRACE_CLIENT, "Client delete: end\n");
    return aErrNone;
}

zsock_t* sNewDealer() {
    zsock_t* socket = zsock_new(ZMQ_DEALER);
    if (socket) zsock_set_linger(socket, 0);
    return socket;
}

aErr sMakePair(zsock_t** bound, zsock_t** connected, const char* name) {
    *bound = sNewDealer();
    *connected = sNewDealer();
    if (!*bound || !*connected) return aErrMemory;
    if (!aCzmqPair_Join(*bound, *connected, name)) {
        aTrace(TRACE_CLIENT, "client: %s connecting fail\n", name);
        return aErrConnection;
    }
    return aErrNone;
}

aErr sMakeWakePair(zmqClientStream* context) {
    context->wakeReceive = zsock_new(ZMQ_PAIR);
    context->wakeSend = zsock_new(ZMQ_PAIR);
    if (!context->wakeReceive || !context->wakeSend) return aErrMemory;
    zsock_set_linger(context->wakeReceive, 0);
    zsock_set_linger(context->wakeSend, 0);
    // Wakes beyond one waiting are worth nothing: sends that find the pair full fail.
    zsock_set_sndtimeo(context->wakeSend, 0);
    return aCzmqPair_Join(context->wakeReceive, context->wakeSend, "client-wake") ? aErrNone : aErrMemory;
}

aErr sConnectServer(zmqClientStream* context, uint32_t ipAddress, uint16_t port) {
    context->server = sNewDealer();
    if (!context->server) return aErrMemory;
    zsock_set_heartbeat_ivl(context->server, HEARTBEAT_IVL_MS);
    zsock_set_heartbeat_timeout(context->server, HEARTBEAT_TIMEOUT_MS);
    // Watched from before the connect, so its outcome is never missed.
    context->monitor = aCzmqActor_New(zmonitor, context->server);
    if (!context->monitor) return aErrMemory;
    zstr_sendx(context->monitor, "LISTEN", "CONNECTED", "DISCONNECTED", "CLOSED", nullptr);
    zstr_sendx(context->monitor, "START", nullptr);
    zsock_wait(context->monitor);
    char host[INET_ADDRSTRLEN] = "";
    const in_addr address{ipAddress};
    if (!inet_ntop(AF_INET, &address, host, sizeof host)) return aErrConnection;
    char endpoint[36];
    snprintf(endpoint, sizeof endpoint, "tcp://%s:%d", host, port);
    aTrace(TRACE_CLIENT, "aStream_CreateClient address: %s\n", endpoint);
    const int rc = zsock_connect(context->server, "%s", endpoint);
    if (rc != 0) {
        aTrace(TRACE_CLIENT, "Error connecting to socket: %d(rc)\n", rc);
        return aErrConnection;
    }
    aTrace(TRACE_CLIENT, "Client connected to port: %d - rc: %d\n", port, rc);
    return aErrNone;
}

}  // namespace

aErr aStream_CreateClient(uint32_t ipAddress, uint16_t port, aStreamRef* stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    auto* context = new (std::nothrow) zmqClientStream;
    if (!context) return aErrMemory;
    context->createdMs = aTime_GetMonotonicMS();
    aErr result = sMakePair(&context->outgoingBind, &context->outgoingConnect, "client-outgoing");
    if (result == aErrNone) result = sMakePair(&context->incomingBind, &context->incomingConnect, "client-incoming");
    if (result == aErrNone) result = sMakeWakePair(context);
    if (result == aErrNone) result = sConnectServer(context, ipAddress, port);
    if (result == aErrNone) {
        context->poller = zpoller_new(context->incomingBind, context->wakeReceive, nullptr);
        if (!context->poller)
            result = aErrMemory;
        else
            zpoller_set_nonstop(context->poller, true);
    }
    if (result == aErrNone) {
        context->broker = aCzmqActor_New(sBrokerTask, context);
        if (context->broker)
            zsock_wait(context->broker);
        else
            result = aErrMemory;
    }
    if (result == aErrNone) {
        *stream = aStream_Create(sGet, sPut, sWrite, sDelete, context);
        if (*stream) {
            aStream_SetWaitProc(*stream, sWait);
            aStream_SetWakeProc(*stream, sWake);
        } else
            result = aErrResource;
    }
    if (result != aErrNone) sRelease(context);
    return result;
}
