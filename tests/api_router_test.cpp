// Modules behind a simulated router over loopback TCP: each shares the router's link and
// talks at its own address on the router's network, and a late reply of one module is
// never taken as the answer of another.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "I2CClass.h"
#include "Module.h"
#include "SystemClass.h"
#include "api_modsim.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;

using testsupport::plainConfig;

namespace {

class ApiRouter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        router = std::make_unique<Module>(2, 0);
        router->setConfig(plainConfig());
        ASSERT_EQ(router->connectFromSpec(sim.spec()), aErrNone);
        ASSERT_EQ(router->getModuleAddress(), 2);
    }

    std::unique_ptr<Module> routed(uint8_t address) {
        auto module = std::make_unique<Module>(address, false, 0);
        module->setConfig(plainConfig());
        EXPECT_EQ(module->connectThroughLinkModule(router.get()), aErrNone);
        return module;
    }

    ApiModsim sim{{"--serial", "00000001", "--router-module", "10:0000BEEF:21", "--router-module", "12:0000F00D:22"}};
    std::unique_ptr<Module> router;
};

TEST_F(ApiRouter, ModulesOnTheNetworkShareTheRoutersLink) {
    auto first = routed(10);
    auto second = routed(12);
    struct Expected {
        Module* module;
        uint32_t serial;
        uint8_t model;
    };
    for (const Expected& e : {Expected{first.get(), 0x0000BEEF, 21}, Expected{second.get(), 0x0000F00D, 22},
                              Expected{router.get(), 1, 1}}) {
        SystemClass system;
        system.init(e.module, 0);
        uint32_t serial = 0;
        uint8_t model = 0;
        EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
        EXPECT_EQ(serial, e.serial);
        EXPECT_EQ(system.getModel(&model), aErrNone);
        EXPECT_EQ(model, e.model);
    }
    SystemClass system;
    system.init(first.get(), 0);
    uint8_t routerAddress = 0;
    EXPECT_EQ(system.getRouter(&routerAddress), aErrNone);
    EXPECT_EQ(routerAddress, 2);

    // The router goes first; the modules behind it keep the link until the last one.
    router.reset();
    EXPECT_TRUE(first->isConnected());
    EXPECT_EQ(first->debug(reinterpret_cast<const uint8_t*>("ab"), 2), aErrNone);
    first.reset();
    EXPECT_TRUE(second->isConnected());
    EXPECT_EQ(second->debug(reinterpret_cast<const uint8_t*>("cd"), 2), aErrNone);
    EXPECT_EQ(sim.countStartingWith("ev disconnect"), 0u);
    second.reset();
    EXPECT_TRUE(sim.waitForLogStart("ev disconnect"));
}

TEST_F(ApiRouter, ProbeSweepCountsOnlyAcknowledgingAddresses) {
    I2CClass bus;
    bus.init(router.get(), 0);
    ASSERT_EQ(bus.setSpeed(3), aErrNone);
    const uint8_t probe[] = {0, 0};
    std::vector<int> found;
    for (int address = 4; address <= 16; address += 2)
        if (bus.write(static_cast<uint8_t>(address), 2, probe) == aErrNone) found.push_back(address);
    EXPECT_EQ(found, (std::vector<int>{10, 12}));
}

// The first module's echo comes back after its wait ended, while the second module waits
// for its own: the second takes only the packet from its own address.
TEST_F(ApiRouter, LateReplyOfOneModuleIsNotTheNextOnesAnswer) {
    auto first = routed(10);
    auto second = routed(12);
    ASSERT_EQ(sim.control("fault delay 1300 10"), "ok");
    ASSERT_EQ(sim.control("fault delay 600 12"), "ok");
    const uint8_t firstData[] = {0x11, 0x11};
    const uint8_t secondData[] = {0x22, 0x22};
    EXPECT_EQ(first->debug(firstData, 2), aErrTimeout);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(second->debug(secondData, 2), aErrNone);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    // The late echo waits for the module it came from.
    Link* link = first->getLink();
    const uint8_t match = 0x17;
    uint8_t length = 1;
    uint8_t buffer[28] = {};
    ASSERT_EQ(link->receivePacket(10, &match, &length, buffer), aErrNone);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(buffer[1], 0x11);
}

}  // namespace
