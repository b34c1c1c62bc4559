// What modules answer to discovery: a USB serial-number string and an Ethernet reply datagram.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "aDiscoveryReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t serial = 0;
    if (aDiscovery_ReadSerialText(data, static_cast<int>(size), &serial)) {
        // Accepted only as eight hexadecimal digits, read as such.
        if (size != 8) abort();
        uint32_t expected = 0;
        for (size_t i = 0; i < 8; ++i) {
            if (!isxdigit(data[i])) abort();
            const int c = tolower(data[i]);
            expected = expected << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        if (serial != expected) abort();
    }
    linkSpec spec{};
    aDiscovery_ReadTCPIPReply(data, size, 0x0100007F, &spec);
    if (size < 13 && spec.model != 0xFF) abort();
    return 0;
}
