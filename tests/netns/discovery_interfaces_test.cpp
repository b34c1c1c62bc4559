// The IPv4 interfaces that link-server discovery and the server's beacon can use,
// inside the namespace of tools/netns/netns-run (loopback and one veth pair).
#include <gtest/gtest.h>

#include <set>

#include "aDiscoveryBeacon.h"
#include "test_namespace.h"
#include "net_address.h"

using testsupport::ipv4;

namespace {

class DiscoveryInterfaces : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace()) GTEST_SKIP() << "needs the interfaces of the test namespace";
    }
};

TEST_F(DiscoveryInterfaces, ListsTheVethAddressesButNotLoopback) {
    uint32_t addresses[50] = {};
    ASSERT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 50), 2u);
    EXPECT_EQ((std::set<uint32_t>{addresses[0], addresses[1]}),
              (std::set<uint32_t>{ipv4("198.18.0.1"), ipv4("198.18.0.2")}));
    EXPECT_EQ(addresses[2], 0u);
}

TEST_F(DiscoveryInterfaces, StopsAtTheCapacity) {
    uint32_t addresses[2] = {0, 0xDEADBEEF};
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 1), 1u);
    EXPECT_EQ(addresses[1], 0xDEADBEEFu);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u);
}

}  // namespace
