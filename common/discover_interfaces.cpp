// IPv4 interface listing and address text for link-server discovery and the server.
#include <arpa/inet.h>
#include <cstring>

#include <czmq.h>

#include "aTrace.h"
#include "discover.h"

namespace {
const uint32_t ADDRESS_TEXT_MIN = 16;  // "255.255.255.255" and its terminator
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

uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, uint32_t length) {
    if (!buffer) return 0;
    memset(buffer, 0, length);
    if (length < ADDRESS_TEXT_MIN) return 0;
    struct in_addr in = {};
    in.s_addr = address;
    if (!inet_ntop(AF_INET, &in, buffer, length)) {
        memset(buffer, 0, length);
        return 0;
    }
    return static_cast<uint32_t>(strlen(buffer));
}
