// Link-server discovery: the local multicast probe over the port offsets and the
// beacon search on a named interface.
#include <arpa/inet.h>
#include <cstring>
#include <vector>

#include <czmq.h>

#include "aWeaveDiscovery.h"

#include "aDiscoveryBeacon.h"
#include "aMulticast.h"
#include "aTime.h"
#include "aTrace.h"
#include "discover.h"
#include "zBeaconInterface.h"

namespace {

const uint32_t TRACE_DISCOVERY = 0x10;
const uint32_t INTERFACE_CAPACITY = 50;
// Room for more than an answer, so an oversized datagram is not cut to size and taken.
const uint32_t ANSWER_BUFFER = 2 * sizeof(linkSpec);
// Searchers publish every 100 ms and servers answer at once: 2.2 s hears every server
// on the link, however many other beacons arrive meanwhile.
const uint64_t BEACON_WINDOW_MS = 2200;
const int BEACON_MESSAGE_LIMIT = 10000;
const uint32_t PORT_MAX = 0xFFFF;

struct Search {
    aDiscoveryCallback callback;
    void* ref;
    bool localFilter;
    uint32_t hostAddress;  // a beacon search's own address, also accepted when filtering
    std::vector<linkSpec> seen;
    uint8_t count;
    bool goOn;
};

// 1 when a spec with this serial number was already taken.
int _isNewSpec(const std::vector<linkSpec>& seen, const linkSpec* spec) {
    for (const linkSpec& known : seen)
        if (known.serialNumber == spec->serialNumber) return 1;
    return 0;
}

// An answer must be a whole link-server spec; only its meaningful fields are taken,
// into a zeroed spec, so stray bytes from the wire never reach the caller.
bool _readAnswer(const void* bytes, size_t size, linkSpec* spec) {
    if (size != sizeof(linkSpec)) return false;
    linkSpec wire;
    memcpy(&wire, bytes, sizeof wire);
    if (wire.type != AWEAVE || wire.model == 0 || wire.port == 0 || wire.port > PORT_MAX) return false;
    memset(spec, 0, sizeof *spec);
    spec->type = AWEAVE;
    spec->serialNumber = wire.serialNumber;
    spec->model = wire.model;
    spec->ipAddress = wire.ipAddress;
    spec->port = wire.port;
    return true;
}

bool _acceptedAddress(const Search& search, uint32_t address) {
    if (!search.localFilter) return true;
    return address == htonl(INADDR_LOOPBACK) || (search.hostAddress && address == search.hostAddress);
}

void _offer(Search& search, const linkSpec* spec) {
    search.seen.push_back(*spec);
    bool found = false;
    search.goOn = search.callback(&search.seen.back(), &found, search.ref);
    if (found && search.count < UINT8_MAX) ++search.count;
}

void _probeOffset(Search& search, int offset) {
    const uint32_t group = htonl(aDISCOVERY_GROUP_HOST_ORDER);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const auto probePort = static_cast<uint16_t>(aDISCOVERY_PROBE_PORT + offset);
    aMulticastRef free = aMulticast_Create(loopback, group, probePort, 0);
    if (free) {
        aMulticast_Destroy(&free);
        return;
    }
    aMulticastRef answers =
        aMulticast_Create(loopback, group, static_cast<uint16_t>(aDISCOVERY_ANSWER_PORT + offset), 0);
    aMulticastRef probe = aMulticast_Create(loopback, group, probePort, 1);
    const uint32_t magic = aDISCOVERY_MAGIC;
    if (answers && probe && aMulticast_Send(probe, &magic, sizeof magic) == static_cast<int32_t>(sizeof magic)) {
        uint8_t buffer[ANSWER_BUFFER];
        const int32_t received = aMulticast_Receive(answers, buffer, sizeof buffer);
        linkSpec spec;
        if (received >= 0 && _readAnswer(buffer, static_cast<size_t>(received), &spec)) {
            if (!_isNewSpec(search.seen, &spec)) {
                aTrace(TRACE_DISCOVERY, "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n",
                       spec.serialNumber, static_cast<int>(spec.port), static_cast<int>(spec.ipAddress),
                       static_cast<int>(spec.type));
                if (_acceptedAddress(search, spec.ipAddress))
                    _offer(search, &spec);
                else
                    aTrace(TRACE_DISCOVERY, "We are in local mode, ignoring(2)");
            }
        } else if (received != -1 && received != static_cast<int32_t>(sizeof(linkSpec))) {
            aTrace(TRACE_DISCOVERY, "Unknown Error sending request message: %d\n", received);
        }
    }
    aMulticast_Destroy(&probe);
    aMulticast_Destroy(&answers);
}

void _findLinkSpecs_multicast(Search& search) {
    for (int offset = 0; offset < aDISCOVERY_OFFSETS && search.goOn; ++offset) _probeOffset(search, offset);
}

void _takeBeacon(Search& search, zmsg_t* message) {
    char* sender = zmsg_popstr(message);
    zframe_t* content = zmsg_pop(message);
    linkSpec spec;
    if (content && _readAnswer(zframe_data(content), zframe_size(content), &spec) && !_isNewSpec(search.seen, &spec) &&
        _acceptedAddress(search, spec.ipAddress)) {
        aTrace(TRACE_DISCOVERY,
               "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
               spec.serialNumber, static_cast<int>(spec.port), static_cast<int>(spec.ipAddress),
               static_cast<int>(spec.type), static_cast<int>(spec.model));
        _offer(search, &spec);
    }
    zframe_destroy(&content);
    zstr_free(&sender);
}

// Publishes the searcher's beacon and takes every server answer heard within the window.
void _findLinkSpecs_beacon(Search& search) {
    zactor_t* beacon = aDiscoveryBeacon_Create(&search.hostAddress);
    if (!beacon) return;
    char text[INET_ADDRSTRLEN];
    aDiscovery_ConvertIPv4Interface(search.hostAddress, text, sizeof text);
    aTrace(TRACE_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n", text, aDISCOVERY_BEACON_PORT);
    const bool started =
        zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_TEXT, static_cast<size_t>(aDISCOVERY_BEACON_TEXT_SIZE),
                   aDISCOVERY_BEACON_INTERVAL_MS) == 0 &&
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0)) == 0;
    const uint64_t deadline = aTime_GetMonotonicMS() + BEACON_WINDOW_MS;
    for (int messages = 0; started && search.goOn && messages < BEACON_MESSAGE_LIMIT && !zsys_interrupted &&
                           aTime_GetMonotonicMS() < deadline;
         ++messages) {
        zmsg_t* message = zmsg_recv(beacon);
        if (!message) continue;
        _takeBeacon(search, message);
        zmsg_destroy(&message);
    }
    aTrace(TRACE_DISCOVERY, "Done with discovery");
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    zactor_destroy(&beacon);
}

}  // namespace

uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
    if (!callback) return 0;
    Search search{callback, ref, true, 0, {}, 0, true};
    const bool local = networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
    uint32_t interfaces[INTERFACE_CAPACITY];
    const uint32_t listed = aDiscovery_GetIPv4Interfaces(interfaces, INTERFACE_CAPACITY);
    aTrace(TRACE_DISCOVERY, "aDiscovery_Enumerate_aWeaveModules found count: %d\n", static_cast<int>(listed));
    if (local || listed == 0) {
        _findLinkSpecs_multicast(search);
        return search.count;
    }
    char text[INET_ADDRSTRLEN];
    if (!aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text)) return 0;
    aTrace(TRACE_DISCOVERY, "New Interface: %s\n", text);
    // The lock is released only when it was taken.
    if (!zBeaconInterface_backupSetAndLock(text)) return 0;
    search.localFilter = false;
    _findLinkSpecs_beacon(search);
    zBeaconInterface_restoreAndUnlock();
    return search.count;
}
