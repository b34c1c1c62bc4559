// A link server whose module went away withdraws at once instead of serving a link
// that can never answer; the program that created it makes a new one when the module
// is back.
#include "aLink.h"
#include "aServerInternal.h"
#include "aTime.h"
#include "aTrace.h"

namespace {

const uint32_t TRACE_SERVER = 0x4;
// How often the broker looks at the served link; it wakes at least once a second.
const uint64_t CHECK_INTERVAL_MS = 200;

// Syncing is a passing state; every other one but running is final for a USB link.
bool sHasFailed(linkStatus status) {
    return status != LINK_RUNNING && status != LINK_SYNCING && status != LINK_STARTING;
}

zsock_t* sUnboundRouter() {
    zsock_t* socket = zsock_new(ZMQ_ROUTER);
    if (!socket) return nullptr;
    zsock_set_linger(socket, 0);
    zsock_set_router_mandatory(socket, 1);
    return socket;
}

}  // namespace

bool aServer_WithdrawIfModuleLost(aServer* server, zpoller_t* poller) {
    if (server->moduleLost || server->stopping) return false;
    const uint64_t now = aTime_GetMonotonicMS();
    if (now - server->moduleCheckMs < CHECK_INTERVAL_MS) return false;
    server->moduleCheckMs = now;
    if (!sHasFailed(aLink_GetStatus(server->usbLink))) return false;
    zsock_t* replacement = sUnboundRouter();
    if (!replacement) return false;
    server->moduleLost = true;
    aTrace(TRACE_SERVER, "served module lost: server withdrawn\n");
    server->announcement.model = 0;
    if (server->beaconMode) aServerDiscovery_Silence(server->discoveryActor, &server->beaconState);
    // Closing the socket closes every client's connection; replies and batches still
    // owed go to a socket without peers and are refused there.
    zpoller_remove(poller, server->clientSocket);
    zsock_destroy(&server->clientSocket);
    server->clientSocket = replacement;
    return true;
}
