// IPv4 address text for multicast sockets, link-server discovery and the server.
#include <arpa/inet.h>
#include <cstring>

#include "discover.h"

namespace {
const uint32_t ADDRESS_TEXT_MIN = 16;  // "255.255.255.255" and its terminator
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
