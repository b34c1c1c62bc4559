#include "aDiscoveryBeacon.h"
#include "aCzmqActor.h"

#include <arpa/inet.h>

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
