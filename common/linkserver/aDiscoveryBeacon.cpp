#include "aDiscoveryBeacon.h"
#include "aCzmqActor.h"

#include <arpa/inet.h>

#include "aTrace.h"

namespace {
// zbeacon answers CONFIGURE at once; this only bounds the wait should it not.
const int CONFIGURE_WAIT_MS = 2000;
}  // namespace

zactor_t* aDiscoveryBeacon_Create(uint32_t* hostAddress) {
    zactor_t* beacon = aCzmqActor_New(zbeacon, nullptr);
    if (!beacon) return nullptr;
    zsock_set_rcvtimeo(beacon, CONFIGURE_WAIT_MS);
    char* hostname = nullptr;
    if (zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT) == 0) hostname = zstr_recv(beacon);
    struct in_addr address = {};
    const bool usable = hostname && inet_pton(AF_INET, hostname, &address) == 1;
    zstr_free(&hostname);
    if (!usable) {
        zactor_destroy(&beacon);
        return nullptr;
    }
    *hostAddress = address.s_addr;
    zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_INTERVAL_MS);
    return beacon;
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
    if (!addresses) return 0;
    ziflist_t* interfaces = ziflist_new();
    if (!interfaces) return 0;
    uint32_t count = 0;
    for (const char* name = ziflist_first(interfaces); name && count < capacity; name = ziflist_next(interfaces)) {
        struct in_addr address = {};
        if (inet_pton(AF_INET, ziflist_address(interfaces), &address) != 1) continue;
        aTrace(0x10, "Interface Found: %d\n", static_cast<int>(address.s_addr));
        addresses[count++] = address.s_addr;
    }
    ziflist_destroy(&interfaces);
    aTrace(0x10, "aDiscovery_GetIPv4Interfaces count: %d\n", static_cast<int>(count));
    return count;
}
