// What modules answer to discovery, read into linkSpec records.
#include <gtest/gtest.h>

#include <cstring>

#include "aDiscoveryReply.h"

namespace {

TEST(DiscoveryReply, SerialTextIsExactlyEightHexDigits) {
    const struct {
        const char* text;
        bool accepted;
        uint32_t serial;
    } cases[] = {
        {"0000CAFE", true, 0x0000CAFE}, {"deadBEEF", true, 0xDEADBEEF}, {"FFFFFFFF", true, 0xFFFFFFFF},
        {"0000CAF", false, 0},          {"0000CAFE0", false, 0},        {" 000CAFE", false, 0},
        {"+000CAFE", false, 0},         {"-0000001", false, 0},         {"0x00CAFE", false, 0},
        {"0000CAFG", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t serial = 0x12345678;
        EXPECT_EQ(aDiscovery_ReadSerialText(reinterpret_cast<const unsigned char*>(c.text),
                                            static_cast<int>(strlen(c.text)), &serial),
                  c.accepted);
        EXPECT_EQ(serial, c.accepted ? c.serial : 0x12345678u);
    }
}

TEST(DiscoveryReply, ShortAndLongDatagrams) {
    const uint8_t full[20] = {0, 4, 0x90, 0x26, 0xFE, 0xCA, 0x00, 0x00, 0,    0,
                              0, 0, 19,   0,    0,    0,    0xAA, 0xBB, 0xCC, 0xDD};
    linkSpec spec{};
    aDiscovery_ReadTCPIPReply(full, sizeof full, 0x0100007F, &spec);
    EXPECT_EQ(spec.serialNumber, 0x0000CAFEu);
    EXPECT_EQ(spec.routerSerialNumber, 0x0000CAFEu);
    EXPECT_EQ(spec.moduleAddress, 4u);
    EXPECT_EQ(spec.port, 9872u);
    EXPECT_EQ(spec.model, 19u);
    EXPECT_EQ(spec.ipAddress, 0x0100007Fu);

    // Eight bytes: no model byte, which reads as unset.
    aDiscovery_ReadTCPIPReply(full, 8, 0, &spec);
    EXPECT_EQ(spec.serialNumber, 0x0000CAFEu);
    EXPECT_EQ(spec.model, 0xFFu);
    aDiscovery_ReadTCPIPReply(full, 0, 0, &spec);
    EXPECT_EQ(spec.serialNumber, 0u);
    EXPECT_EQ(spec.port, 0u);
}

}  // namespace
