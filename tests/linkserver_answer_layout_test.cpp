// The link-server discovery answer, byte for byte, against an independently written
// packed layout of the 128 bytes that travel.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>

#include "aServerDiscovery.h"

namespace {

struct __attribute__((packed)) WireAnswer {
    uint8_t type[4];
    uint8_t serialNumber[4];
    uint8_t moduleAddress[4];
    uint8_t routerAddress[4];
    uint8_t routerSerialNumber[4];
    uint8_t model[4];
    uint8_t ipAddress[4];  // network order
    uint8_t port[4];
    uint8_t rest[96];
};
static_assert(sizeof(WireAnswer) == 128, "the answer is 128 bytes");
static_assert(offsetof(WireAnswer, port) == 28, "port follows the address");

uint32_t littleEndian(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

TEST(LinkServerAnswerLayout, FieldsSitWhereTheWireFormPutsThem) {
    aServerAnnouncement announcement{};
    announcement.serialNumber = 0x89ABCDEF;
    announcement.model = 0xC3;
    in_addr host{};
    inet_pton(AF_INET, "198.18.0.2", &host);
    announcement.hostAddress = host.s_addr;
    announcement.clientPort = 0xFEDC;

    linkSpec spec;
    memset(&spec, 0xA5, sizeof spec);  // every byte must be written
    aServerDiscovery_CreateNetworkSpec(&announcement, &spec);
    ASSERT_EQ(sizeof spec, sizeof(WireAnswer));
    WireAnswer wire;
    memcpy(&wire, &spec, sizeof wire);

    EXPECT_EQ(littleEndian(wire.type), 4u);
    EXPECT_EQ(littleEndian(wire.serialNumber), 0x89ABCDEFu);
    EXPECT_EQ(littleEndian(wire.moduleAddress), 0u);
    EXPECT_EQ(littleEndian(wire.routerAddress), 0u);
    EXPECT_EQ(littleEndian(wire.routerSerialNumber), 0u);
    EXPECT_EQ(littleEndian(wire.model), 0xC3u);
    const uint8_t address[4] = {198, 18, 0, 2};
    EXPECT_EQ(memcmp(wire.ipAddress, address, 4), 0);
    EXPECT_EQ(littleEndian(wire.port), 0xFEDCu);
    for (size_t i = 0; i < sizeof wire.rest; ++i) ASSERT_EQ(wire.rest[i], 0) << "byte " << 32 + i;
}

}  // namespace
