// Dotted text of IPv4 addresses (network order) for link-server discovery and the server.
#include <gtest/gtest.h>

#include <cstring>

#include "discover.h"

namespace {

TEST(DiscoveryAddressText, WritesDottedTextIntoAZeroFilledBuffer) {
    const struct {
        uint32_t address;
        const char* text;
    } cases[] = {
        {0x0100007F, "127.0.0.1"},
        {0x010012C6, "198.18.0.1"},
        {0xFFFFFFFF, "255.255.255.255"},
        {0, "0.0.0.0"},
    };
    for (const auto& c : cases) {
        char buffer[24];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(aDiscovery_ConvertIPv4Interface(c.address, buffer, sizeof buffer), strlen(c.text));
        EXPECT_STREQ(buffer, c.text);
        for (size_t i = strlen(c.text); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '\0') << c.text << " " << i;
    }
}

TEST(DiscoveryAddressText, RefusesBuffersTooShortForTheLongestAddress) {
    char buffer[16];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0100007F, buffer, 15), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[15], 'x');  // nothing written past the length given
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0100007F, buffer, 16), 9u);
    EXPECT_STREQ(buffer, "127.0.0.1");
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0100007F, nullptr, 16), 0u);
}

}  // namespace
