// Link and Module finding Ethernet modules by network discovery and connecting to them
// over TCP, inside the private namespace of tools/netns/netns-run.
#include <gtest/gtest.h>

#include <net/if.h>

#include <set>
#include <string>

#include "Module.h"
#include "SystemClass.h"
#include "api_modsim.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "test_namespace.h"

using namespace Veltrane::Corvalith;
using testsupport::ModsimProcess;

using testsupport::plainConfig;

namespace {

class ApiDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_FAIL() << "not inside the netns-run namespace; refusing to send multicast";
        first =
            std::make_unique<ModsimProcess>(dir.path(),
                                            std::vector<std::string>{"--tcp", "127.0.0.2:0", "--discovery", "--serial",
                                                                     "CAFE0042", "--model", "17", "--address", "6"},
                                            "first");
        second = std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--tcp", "127.0.0.3:0", "--discovery", "--serial", "0000BEEF", "--model", "200"},
            "second");
        ASSERT_TRUE(first->ready());
        ASSERT_TRUE(second->ready());
    }

    testsupport::TempDir dir;
    std::unique_ptr<ModsimProcess> first;
    std::unique_ptr<ModsimProcess> second;
};

TEST_F(ApiDiscovery, BySerialNumberAndByModel) {
    Module bySerial(2, 0);
    bySerial.setConfig(plainConfig());
    ASSERT_EQ(bySerial.connect(TCPIP, 0xCAFE0042), aErrNone);
    EXPECT_EQ(bySerial.getModuleAddress(), 6);
    linkSpec spec;
    ASSERT_EQ(bySerial.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(TCPIP));
    EXPECT_EQ(spec.port, first->tcpPort());

    Module byModel(4, 200);
    byModel.setConfig(plainConfig());
    ASSERT_EQ(byModel.discoverAndConnect(TCPIP, 0), aErrNone);
    SystemClass system;
    system.init(&byModel, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000BEEFu);
}

TEST_F(ApiDiscovery, NothingFoundLeavesTheSpecifierAndNeverFallsBack) {
    Link link("Link");
    aWeaveConfig config = plainConfig();
    config.fallback = 1;
    link.setConfig(config);
    EXPECT_EQ(link.discoverAndConnect(TCPIP, 0x12345678, 0), aErrNotFound);
    EXPECT_EQ(link.discoverAndConnect(TCPIP, 0, 99), aErrNotFound);
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
}

}  // namespace
