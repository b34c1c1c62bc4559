// Network discovery of simulated Ethernet modules, inside the private namespace
// that tools/netns/netns-run builds (nothing here may reach a real network).
#include <gtest/gtest.h>

#include <net/if.h>

#include <chrono>
#include <set>

#include "discover.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "net_address.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

using testsupport::ipv4;

namespace {

bool countAll(const linkSpec*, bool* found, void*) {
    *found = true;
    return true;
}

class TcpipDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
    }
};

TEST_F(TcpipDiscovery, FindsModulesBySerialModelAndFirst) {
    TempDir dir;
    ModsimProcess a(dir.path(),
                    {"--tcp", "127.0.0.2:0", "--discovery", "--serial", "0000A001", "--model", "13", "--address", "4"},
                    "a");
    ModsimProcess b(dir.path(),
                    {"--tcp", "127.0.0.3:0", "--discovery", "--serial", "0000B002", "--model", "26", "--address", "8"},
                    "b");
    ASSERT_TRUE(a.ready() && b.ready());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, countAll, nullptr, 0), 2);
    // The enumeration ends 2 s after the last reply.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);

    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x0000B002, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, static_cast<uint32_t>(TCPIP));
    EXPECT_EQ(spec->model, 26u);
    EXPECT_EQ(spec->moduleAddress, 8u);
    EXPECT_EQ(spec->routerAddress, 8u);
    EXPECT_EQ(spec->routerSerialNumber, 0x0000B002u);
    EXPECT_EQ(spec->ipAddress, ipv4("127.0.0.3"));
    EXPECT_EQ(spec->port, b.tcpPort());
    aLinkSpec_Destroy(&spec);

    uint32_t serialOfModel13 = 0;
    aDiscovery_EnumerateModules(
        TCPIP,
        [](const linkSpec* found, bool* flag, void* ref) {
            if (found->model != 13) return true;
            *static_cast<uint32_t*>(ref) = found->serialNumber;
            *flag = true;
            return false;
        },
        &serialOfModel13, 0);
    EXPECT_EQ(serialOfModel13, 0x0000A001u);

    linkSpec* first = aDiscovery_FindFirstModule(TCPIP, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->serialNumber == 0x0000A001u || first->serialNumber == 0x0000B002u);
    aLinkSpec_Destroy(&first);
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x12345678, 0), nullptr);
}

TEST_F(TcpipDiscovery, NoAnswerEndsAfterTwoSeconds) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, countAll, nullptr, 0), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 3000ms);
}

}  // namespace
