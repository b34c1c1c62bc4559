// The link server: its sockets, the broker actor, the stream filter on the served USB
// link, and its start and stop.
#include "aServer_ZeroMQ.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <new>

#include "aDiscoveryBeacon.h"
#include "aLinkManagerInternal.h"
#include "aModuleCommands.h"
#include "discover.h"
#include "aCzmqActor.h"
#include "aCzmqPair.h"
#include "aServerInternal.h"
#include "aTrace.h"
#include "aUEI.h"

aServerRole aServerBroker;
aServerRole aServerSyncActor;
aServerRole aServerStreamFilter;

namespace {

const uint32_t TRACE_SERVER = 0x4;
const uint32_t TRACE_START = 0x1;
const uint32_t LOOPBACK = 0x0100007Fu;  // 127.0.0.1 in network order on this host
const int POLL_MS = 1000;
// A client whose host stops answering is dropped about 8 s after it went silent: by
// TCP keepalive while nothing is on its way to it, and by the same time-out on data
// left unacknowledged (TCP_USER_TIMEOUT) while the server sends to it, which keepalive
// never looks at. ZeroMQ's own heartbeats stay off on the client socket: libzmq 4.3.4
// aborts the process when a heartbeat times out on a connection whose input is held
// back, which a client that writes faster than the broker reads brings about.
const int KEEPALIVE_IDLE_S = 5;
const int KEEPALIVE_INTERVAL_S = 1;
const int KEEPALIVE_COUNT = 3;
const int UNACKNOWLEDGED_LIMIT_MS = 8000;
const int INTERNAL_SEND_TIMEOUT_MS = 1000;
const uint32_t INTERFACES_MAX = 50;

void sSendBatch(aServer* server) aREQUIRES(aServerStreamFilter) {
    zframe_t* frame = zframe_new(server->streamBatch, server->streamBatchLength);
    server->streamBatchLength = 0;
    if (!frame) return;
    zframe_send(&frame, server->streamFilterSocket, ZFRAME_REUSE | ZFRAME_DONTWAIT);
    zframe_destroy(&frame);
}

// Runs on the USB link's reader thread: stream samples are gathered and consumed; the
// module's heartbeat (left to the link) or a nearly full batch sends them on.
uint8_t sStreamingPacketFilter(const aPacket* packet, const void* ref) {
    auto* server = static_cast<aServer*>(const_cast<void*>(ref));
    aServerInRole asFilter(aServerStreamFilter);
    if (aUEI_isStreamPacket(packet)) {
        const size_t wire = packet->dataSize + 2u;
        memcpy(server->streamBatch + server->streamBatchLength, &packet->address, wire);
        server->streamBatchLength = static_cast<uint16_t>(server->streamBatchLength + wire);
        if (server->streamBatchLength > aSERVER_BATCH_FLUSH) sSendBatch(server);
        return 1;
    }
    if (aModuleCommand_IsHeartbeat(packet) && server->streamBatchLength > 0) sSendBatch(server);
    return 0;
}

void sBroker(zsock_t* pipe, void* ref) {
    auto* server = static_cast<aServer*>(ref);
    aServerInRole asBroker(aServerBroker);
    zsock_signal(pipe, 0);
    aTrace(TRACE_SERVER, "broker create\n");
    aServerRequestState* state = aServerRequests_Create();
    zsock_t* connectionEvents = aServerConnections_Events(server->connections);
    zpoller_t* poller = state ? zpoller_new(pipe, server->syncBrokerSocket, server->clientSocket,
                                            server->streamBrokerSocket, connectionEvents, nullptr)
                              : nullptr;
    zactor_t* beacon = server->beaconMode ? server->discoveryActor : nullptr;
    if (poller && beacon) zpoller_add(poller, beacon);
    server->beaconState = aServerBeaconState{};
    zsock_signal(pipe, 0);
    while (poller) {
        void* which = zpoller_wait(poller, aServerRequests_WaitMs(state, POLL_MS));
        if (which == server->streamBrokerSocket) {
            aServerRequests_Batch(server, state);
        } else if (which == server->syncBrokerSocket) {
            aServerRequests_FromSync(server, state);
        } else if (which == server->clientSocket) {
            aServerRequests_FromClient(server, state);
        } else if (which == connectionEvents) {
            aServerRequests_Connections(server, state);
        } else if (which == pipe) {
            char* command = zstr_recv(pipe);
            if (!command && !aCzmqActor_ReceiveEnds()) continue;
            const bool flush = command && strcmp(command, aSERVER_PIPE_FLUSH) == 0;
            zstr_free(&command);
            if (!flush) {
                aTrace(TRACE_SERVER, "pre exit 1\n");
                break;
            }
            aServerRequests_Flush(state);
        } else if (beacon && which == beacon) {
            aServerDiscovery_AnswerBeacon(beacon, &server->announcement, &server->beaconState);
        } else if (!which && aCzmqActor_PollEnds(poller)) {
            aTrace(TRACE_SERVER, "pre exit 2\n");
            break;
        }
        aServerRequests_Dispatch(server, state);
        if (beacon) aServerDiscovery_SilenceIfDue(beacon, &server->beaconState);
        if (aServer_WithdrawIfModuleLost(server, poller)) aServerRequests_DropAll(state);
    }
    zpoller_destroy(&poller);
    aServerRequests_Destroy(&state);
    aTrace(TRACE_SERVER, "broker task exit\n");
}

zsock_t* sNewSocket(int type) {
    zsock_t* socket = zsock_new(type);
    if (socket) zsock_set_linger(socket, 0);
    return socket;
}

// The address part of the socket's last bound endpoint ("tcp://A.B.C.D:port").
bool sBoundAddress(zsock_t* socket, uint32_t* address) {
    char* endpoint = zsock_last_endpoint(socket);
    if (!endpoint) return false;
    char host[64] = "";
    const bool parsed = sscanf(endpoint, "tcp://%63[0-9.]:", host) == 1 && inet_pton(AF_INET, host, address) == 1;
    zstr_free(&endpoint);
    return parsed;
}

bool sBindClientSocket(aServer* server) aREQUIRES(aServerBroker) {
    char interfaceText[INET_ADDRSTRLEN] = "127.0.0.1";
    if (!server->localOnly) {
        const in_addr address{server->networkInterface};
        if (!inet_ntop(AF_INET, &address, interfaceText, sizeof interfaceText)) return false;
    }
    const int port = zsock_bind(server->clientSocket, "tcp://%s:*", interfaceText);
    aTrace(TRACE_SERVER, "_findPortAndBindSocket: %d - %s\n", port, interfaceText);
    if (port <= 0) {
        aTrace(TRACE_SERVER, "Could not find open port\n");
        return false;
    }
    server->announcement.clientPort = static_cast<uint16_t>(port);
    uint32_t bound = 0;
    if (!sBoundAddress(server->clientSocket, &bound)) return false;
    server->networkInterface = bound;
    return true;
}

zactor_t* sStartActor(zactor_fn* actor, aServer* server) {
    zactor_t* made = aCzmqActor_New(actor, server);
    if (made) zsock_wait(made);
    return made;
}

// Network mode answers beacons on the served interface (the host's first one when none
// was named); local mode, or a host without interfaces, answers local multicast probes.
bool sConfigureInterface(aServer* server) {
    uint32_t interfaces[INTERFACES_MAX] = {};
    const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, INTERFACES_MAX);
    aTrace(0x10, "_configureInterface found count: %d\n", static_cast<int>(count));
    if (!server->localOnly && count > 0) {
        if (server->networkInterface == 0 || server->networkInterface == LOOPBACK)
            server->networkInterface = interfaces[0];
        char text[INET_ADDRSTRLEN] = "";
        if (!aDiscovery_ConvertIPv4Interface(server->networkInterface, text, sizeof text)) return false;
        uint32_t hostAddress = 0;
        server->discoveryActor = aServerDiscovery_CreateBeacon(text, &hostAddress);
        if (!server->discoveryActor) return false;
        server->announcement.hostAddress = hostAddress;
        server->beaconMode = 1;
        return true;
    }
    server->announcement.hostAddress = LOOPBACK;
    server->beaconMode = 0;
    // Without a free port offset the server runs on, unannounced; clients that know the
    // port still connect.
    server->discoveryActor = aServerDiscovery_StartMulticastResponder(&server->announcement);
    return true;
}

// Everything made before an actor runs or the filter is installed: the sockets, bound
// and paired, and the discovery side the client socket's interface depends on.
aErr sPrepare(aServer* server) aREQUIRES(aServerBroker, aServerSyncActor, aServerStreamFilter) {
    server->clientSocket = sNewSocket(ZMQ_ROUTER);
    server->syncActorSocket = sNewSocket(ZMQ_DEALER);
    server->syncBrokerSocket = sNewSocket(ZMQ_DEALER);
    server->streamFilterSocket = sNewSocket(ZMQ_DEALER);
    server->streamBrokerSocket = sNewSocket(ZMQ_DEALER);
    if (!server->clientSocket) return aErrResource;
    // Sends to a client that is gone fail instead of vanishing.
    zsock_set_router_mandatory(server->clientSocket, 1);
    zsock_set_heartbeat_ivl(server->clientSocket, 0);
    zsock_set_heartbeat_timeout(server->clientSocket, 0);
    zsock_set_tcp_keepalive(server->clientSocket, 1);
    zsock_set_tcp_keepalive_idle(server->clientSocket, KEEPALIVE_IDLE_S);
    zsock_set_tcp_keepalive_intvl(server->clientSocket, KEEPALIVE_INTERVAL_S);
    zsock_set_tcp_keepalive_cnt(server->clientSocket, KEEPALIVE_COUNT);
    zsock_set_tcp_maxrt(server->clientSocket, UNACKNOWLEDGED_LIMIT_MS);
    // Watched from before it binds, so no connection is missed.
    server->connections = aServerConnections_Create(server->clientSocket);
    if (!server->connections) return aErrResource;
    if (!sConfigureInterface(server)) return aErrResource;
    if (!sBindClientSocket(server)) return aErrResource;
    if (!aCzmqPair_Join(server->streamBrokerSocket, server->streamFilterSocket, "server-stream")) return aErrResource;
    if (!aCzmqPair_Join(server->syncBrokerSocket, server->syncActorSocket, "server-sync")) return aErrResource;
    zsock_set_sndtimeo(server->syncBrokerSocket, INTERNAL_SEND_TIMEOUT_MS);
    return aErrNone;
}

aErr sInitServer(aServer* server) {
    aTrace(TRACE_START, "_initServer:\n");
    aErr prepared = aErrNone;
    {
        // No actor runs yet and no filter is installed: the roles are this thread's.
        aServerInRole asBroker(aServerBroker), asSync(aServerSyncActor), asFilter(aServerStreamFilter);
        prepared = sPrepare(server);
    }
    if (prepared != aErrNone) return prepared;
    server->brokerActor = sStartActor(sBroker, server);
    server->syncActor = sStartActor(aServerRequests_SyncActor, server);
    if (!server->brokerActor || !server->syncActor) return aErrResource;
    // The sync actor waits for the reply while the link's writer writes the request: a
    // blocking write of its own would return only after the reply had come.
    if (aLink_SetWriterOnly(server->usbLink) != aErrNone) return aErrResource;
    if (aLink_InstallUserPacketFilter(server->usbLink, sStreamingPacketFilter, server) != aErrNone) return aErrResource;
    server->filterInstalled = true;
    aLink_DrainPackets(server->usbLink, drainAll, nullptr);
    return aErrNone;
}

void sDeinitServer(aServer* server) {
    if (server->filterInstalled) {
        aLink_InstallUserPacketFilter(server->usbLink, nullptr, nullptr);
        server->filterInstalled = false;
    }
    server->stopping = true;
    aTrace(TRACE_SERVER, "PIPE! - Task\n");
    zactor_destroy(&server->syncActor);
    zactor_destroy(&server->brokerActor);
    zactor_destroy(&server->discoveryActor);
    // Both actors have ended and the filter is gone: the roles are this thread's again.
    aServerInRole asBroker(aServerBroker), asSync(aServerSyncActor), asFilter(aServerStreamFilter);
    zsock_destroy(&server->clientSocket);
    aServerConnections_Destroy(&server->connections);
    zsock_destroy(&server->syncActorSocket);
    zsock_destroy(&server->syncBrokerSocket);
    zsock_destroy(&server->streamFilterSocket);
    zsock_destroy(&server->streamBrokerSocket);
    aTrace(TRACE_SERVER, "server task exit\n");
}

}  // namespace

aServerRef aServer_Create(aLinkRef usbLink, uint32_t networkInterface, uint8_t localOnly) {
    uint32_t serialNumber = 0;
    if (!aLinkManager_GetIdentifier(usbLink, &serialNumber)) {
        aTrace(TRACE_SERVER, "Could not find device Item\n");
        return nullptr;
    }
    auto* server = new (std::nothrow) aServer;
    if (!server) return nullptr;
    server->usbLink = usbLink;
    server->announcement.serialNumber = serialNumber;
    server->localOnly = localOnly;
    server->networkInterface = networkInterface ? networkInterface : LOOPBACK;
    return server;
}

aErr aServer_Start(aServerRef server) {
    if (!server) return aErrParam;
    return sInitServer(server);
}

aErr aServer_Destroy(aServerRef* server) {
    if (!server || !*server) return aErrParam;
    sDeinitServer(*server);
    delete *server;
    *server = nullptr;
    return aErrNone;
}

aErr aServer_GetPort(aServerRef server, uint16_t* port) {
    if (!server || !port) return aErrParam;
    *port = server->announcement.clientPort;
    return aErrNone;
}

aErr aServer_GetInterface(aServerRef server, uint32_t* networkInterface) {
    if (!server || !networkInterface) return aErrParam;
    *networkInterface = server->networkInterface;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServerRef server, uint8_t address) {
    if (!server) return aErrParam;
    server->moduleAddress = address;
    return aErrNone;
}

aErr aServer_SetModel(aServerRef server, uint8_t model) {
    if (!server) return aErrParam;
    server->announcement.model = model;
    return aErrNone;
}

aErr aServer_FlushFIFO(aServerRef server) {
    if (!server) return aErrParam;
    aTrace(TRACE_SERVER, "aServer_FlushFIFO\n");
    if (server->brokerActor) zstr_send(server->brokerActor, aSERVER_PIPE_FLUSH);
    return aErrNone;
}
