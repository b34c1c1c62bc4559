// IPv4 addresses in the network byte order the link core takes them in.
#pragma once

#include <arpa/inet.h>

#include <cstdint>

namespace testsupport {

// "127.0.0.2" as the link core's 32-bit address (network order); 0 for text that is no address.
inline uint32_t ipv4(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

}  // namespace testsupport
