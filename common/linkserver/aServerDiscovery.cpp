#include "aServerDiscovery.h"
#include "aCzmqActor.h"

#include <arpa/inet.h>
#include <cstring>

#include "aDiscoveryBeacon.h"
#include "aMulticast.h"
#include "aTime.h"
#include "aTrace.h"
#include "zBeaconInterface.h"

namespace {

const uint32_t TRACE_SERVER = 0x4;
const int PIPE_WAIT_MS = 1000;
const int READY_WAIT_MS = 5000;
const int CLAIM_ATTEMPTS = 50;
const uint64_t PUBLISH_SPAN_MS = 2000;
// Room for more than a probe, so a longer datagram is seen as what it is.
const uint32_t PROBE_BUFFER = 16;

// Takes the lowest free probe port and a sender to the matching answer port.
bool _claimOffset(aMulticastRef* receiver, aMulticastRef* sender) {
    const uint32_t group = htonl(aDISCOVERY_GROUP_HOST_ORDER);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < CLAIM_ATTEMPTS; ++attempt) {
        int offset = 0;
        for (; offset < aDISCOVERY_OFFSETS && !*receiver; ++offset)
            *receiver = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_PROBE_PORT + offset), 0);
        if (!*receiver) return false;
        --offset;
        *sender = aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_ANSWER_PORT + offset), 1);
        if (*sender) {
            aTrace(TRACE_SERVER, "Discovery port offset: %d\n", offset);
            return true;
        }
        aMulticast_Destroy(receiver);
    }
    return false;
}

void _answerProbe(aMulticastRef receiver, aMulticastRef sender, const aServerAnnouncement* announcement) {
    uint8_t probe[PROBE_BUFFER] = {};
    const int32_t received = aMulticast_Receive(receiver, probe, sizeof probe);
    const uint32_t magic = aDISCOVERY_MAGIC;
    if (received != aDISCOVERY_PROBE_SIZE || memcmp(probe, &magic, sizeof magic) != 0) {
        aTrace(TRACE_SERVER, "We something else on multicast");
        return;
    }
    aTrace(TRACE_SERVER, "We got the multicast magic value");
    if (!announcement->model) {
        aTrace(TRACE_SERVER, "Discovery not allowed (Multicast), model not set.");
        return;
    }
    linkSpec answer;
    aServerDiscovery_CreateNetworkSpec(announcement, &answer);
    // Probes are heard on loopback only, so the answer always names this host.
    answer.ipAddress = htonl(INADDR_LOOPBACK);
    const int32_t sent = aMulticast_Send(sender, &answer, sizeof answer);
    aTrace(TRACE_SERVER, "Sent: %d to the reply port\n", sent);
}

// Answers probes on the claimed offset; one wait covers the pipe and the receiver, so
// a probe is answered as soon as it arrives.
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args) {
    auto* announcement = static_cast<aServerAnnouncement*>(args);
    zsock_signal(pipe, 0);
    aTrace(TRACE_SERVER, "multicast task start");
    aMulticastRef receiver = nullptr;
    aMulticastRef sender = nullptr;
    _claimOffset(&receiver, &sender);
    int receiverSocket = -1;
    zpoller_t* poller = zpoller_new(pipe, nullptr);
    if (poller && receiver) {
        receiverSocket = *aMulticast_Descriptor(receiver);
        zpoller_add(poller, &receiverSocket);
    }
    zsock_signal(pipe, 0);
    while (poller) {
        void* ready = zpoller_wait(poller, PIPE_WAIT_MS);
        if (ready == pipe) {
            zmsg_t* message = zmsg_recv(pipe);
            if (!message && !aCzmqActor_ReceiveEnds()) continue;
            zmsg_destroy(&message);
            break;
        }
        if (ready == &receiverSocket) {
            _answerProbe(receiver, sender, announcement);
        } else if (!ready && aCzmqActor_PollEnds(poller)) {
            break;
        }
    }
    zpoller_destroy(&poller);
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
    aTrace(TRACE_SERVER, "multicast task exit");
}

}  // namespace

void aServerDiscovery_CreateNetworkSpec(const aServerAnnouncement* a, linkSpec* answer) {
    if (!answer) return;
    memset(answer, 0, sizeof *answer);
    if (!a) return;
    answer->type = AWEAVE;
    answer->serialNumber = a->serialNumber;
    answer->model = a->model;
    answer->ipAddress = a->hostAddress;
    answer->port = a->clientPort;
}

zactor_t* aServerDiscovery_StartMulticastResponder(aServerAnnouncement* a) {
    if (!a) return nullptr;
    zactor_t* actor = aCzmqActor_New(_serverWorker_multicastDiscovery, a);
    if (!actor) return nullptr;
    // The second signal comes once the offset is claimed and the actor is polling.
    zsock_set_rcvtimeo(actor, READY_WAIT_MS);
    const int ready = zsock_wait(actor);
    zsock_set_rcvtimeo(actor, -1);
    if (ready != 0) zactor_destroy(&actor);
    return actor;
}

zactor_t* aServerDiscovery_CreateBeacon(const char* interfaceText, uint32_t* hostAddress) {
    if (!interfaceText || !hostAddress) return nullptr;
    if (!zBeaconInterface_setAndLock(interfaceText)) return nullptr;
    struct in_addr chosen = {};
    inet_pton(AF_INET, interfaceText, &chosen);
    aTrace(TRACE_SERVER, "Setting interface for user: (s)%s - (i)%d\n", interfaceText, static_cast<int>(chosen.s_addr));
    // The beacon reads the interface setting when it is configured, so the lock is
    // held until CONFIGURE has answered.
    uint32_t address = 0;
    zactor_t* beacon = aDiscoveryBeacon_Create(&address);
    zBeaconInterface_unlock();
    if (!beacon) return nullptr;
    char text[INET_ADDRSTRLEN];
    aDiscovery_ConvertIPv4Interface(address, text, sizeof text);
    aTrace(TRACE_SERVER, "Beacon hostname(Server): %s - Port: %d\n", text, aDISCOVERY_BEACON_PORT);
    if (zsock_send(beacon, "sb", "SUBSCRIBE", aDISCOVERY_BEACON_TEXT,
                   static_cast<size_t>(aDISCOVERY_BEACON_TEXT_SIZE)) != 0) {
        zactor_destroy(&beacon);
        return nullptr;
    }
    *hostAddress = address;
    return beacon;
}

void aServerDiscovery_AnswerBeacon(zactor_t* beacon, const aServerAnnouncement* a, aServerBeaconState* s) {
    if (!beacon || !a || !s) return;
    zmsg_t* message = zmsg_recv(beacon);
    if (!message) return;
    zframe_t* sender = zmsg_pop(message);
    zframe_t* content = zmsg_pop(message);
    if (!a->model) {
        aTrace(TRACE_SERVER, "Discovery not allowed (beacon), model not set.");
    } else if (content && zframe_size(content) >= aDISCOVERY_BEACON_TEXT_SIZE &&
               memcmp(zframe_data(content), aDISCOVERY_BEACON_TEXT, aDISCOVERY_BEACON_TEXT_SIZE) == 0 &&
               !s->publishing) {
        linkSpec answer;
        aServerDiscovery_CreateNetworkSpec(a, &answer);
        if (zsock_send(beacon, "sbi", "PUBLISH", &answer, sizeof answer, aDISCOVERY_BEACON_INTERVAL_MS) == 0) {
            s->start = aTime_GetMonotonicMS();
            s->publishing = 1;
        }
    }
    zframe_destroy(&sender);
    zframe_destroy(&content);
    zmsg_destroy(&message);
}

void aServerDiscovery_SilenceIfDue(zactor_t* beacon, aServerBeaconState* s) {
    if (!beacon || !s || !s->publishing) return;
    if (aTime_GetMonotonicMS() - s->start <= PUBLISH_SPAN_MS) return;
    aServerDiscovery_Silence(beacon, s);
}

void aServerDiscovery_Silence(zactor_t* beacon, aServerBeaconState* s) {
    if (!beacon || !s || !s->publishing) return;
    zstr_sendx(beacon, "SILENCE", nullptr);
    s->publishing = 0;
    aTrace(TRACE_SERVER, "Beacon silenced");
}
