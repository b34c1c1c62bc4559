// Module against a simulated module over loopback TCP: the connect variants, automatic
// address probing, sharing a router module's link, the echo and the information queries.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "Module.h"
#include "api_modsim.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::wireText;

using testsupport::plainConfig;

namespace {

std::unique_ptr<Module> plainModule(uint8_t address, bool autoNetwork) {
    auto module = std::make_unique<Module>(address, autoNetwork, 0);
    module->setConfig(plainConfig());
    return module;
}

TEST(ApiModule, WithoutConnection) {
    Module module(2, 0);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    EXPECT_EQ(module.getStatus(), 8);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getConfig(nullptr), aErrParam);
    linkSpec spec;
    EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(module.disconnect(), aErrNone);
    const uint8_t data[] = {1};
    EXPECT_EQ(module.debug(data, 1), aErrConnection);
    uint8_t count = 7;
    EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), aErrConnection);
    EXPECT_EQ(module.reconnect(), aErrConfiguration);
}

TEST(ApiModule, ConnectLearnsTheAddress) {
    ApiModsim sim({"--address", "6"});
    ASSERT_TRUE(sim.ready());
    auto module = plainModule(2, true);
    sim.mark();
    ASSERT_EQ(module->connectFromSpec(sim.spec()), aErrNone);
    EXPECT_EQ(module->getModuleAddress(), 6);
    EXPECT_EQ(sim.received(), std::vector<std::string>{"AD 00"});
    EXPECT_EQ(module->connectFromSpec(sim.spec()), aErrBusy);
    EXPECT_EQ(module->setConfig(plainConfig()), aErrPermission);

    EXPECT_EQ(module->reconnect(), aErrConnection);
    EXPECT_EQ(module->disconnect(), aErrNone);
    module->setModuleAddress(2);
    EXPECT_EQ(module->reconnect(), aErrNone);
    EXPECT_EQ(module->getModuleAddress(), 6);
}

TEST(ApiModule, NoProbeWhenNetworkingIsOff) {
    ApiModsim sim({"--address", "6"});
    ASSERT_TRUE(sim.ready());
    auto module = plainModule(4, true);
    module->setNetworkingMode(false);
    sim.mark();
    ASSERT_EQ(module->connectFromSpec(sim.spec()), aErrNone);
    EXPECT_EQ(module->getModuleAddress(), 4);
    const uint8_t data[] = {9};
    module->setModuleAddress(6);
    ASSERT_EQ(module->debug(data, 1), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{"06 02 17 09"});
}

// Four probes of 1000 ms, then the connect reports it, but the link stays open.
TEST(ApiModule, SilentModuleKeepsItsLinkAndAddress) {
    ApiModsim sim({"--address", "6"});
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(sim.control("fault silence on"), "ok");
    auto module = plainModule(2, true);
    sim.mark();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(module->connectFromSpec(sim.spec()), aErrNotReady);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4000));
    EXPECT_LT(waited, std::chrono::milliseconds(5500));
    EXPECT_TRUE(module->isConnected());
    EXPECT_EQ(module->getModuleAddress(), 2);
    EXPECT_EQ(sim.received(), std::vector<std::string>(4, "AD 00"));
}

class ApiModuleConnected : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        module = plainModule(2, true);
        ASSERT_EQ(module->connectFromSpec(sim.spec()), aErrNone);
        ASSERT_EQ(module->getModuleAddress(), 2);
    }

    ApiModsim sim;
    std::unique_ptr<Module> module;
};

TEST_F(ApiModuleConnected, Echo) {
    const uint8_t data[] = {0xA1, 0xB2, 0xC3};
    sim.mark();
    EXPECT_EQ(module->debug(data, 3), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{"02 04 17 A1 B2 C3"});
    EXPECT_EQ(module->debug(nullptr, 0), aErrNone);
    const Bytes full(27, 0x5A);
    EXPECT_EQ(module->debug(full.data(), 27), aErrNone);
    const Bytes tooLong(28, 0x5A);
    EXPECT_EQ(module->debug(tooLong.data(), 28), aErrParam);

    ASSERT_EQ(sim.control("fault silence on"), "ok");
    EXPECT_EQ(module->debug(data, 3), aErrTimeout);
}

TEST_F(ApiModuleConnected, InformationQueries) {
    sim.mark();
    EXPECT_EQ(module->hasUEI(3, 9, 0, 0x40), aErrNone);
    EXPECT_EQ(module->hasUEI(3, 9, 0, 0x80), aErrPermission);
    EXPECT_EQ(module->hasUEI(3, 9, 0, 0), aErrNone);
    EXPECT_EQ(module->hasUEI(3, 60, 0, 0x40), aErrInvalidOption);
    EXPECT_EQ(module->hasUEI(3, 9, 4, 0x40), aErrInvalidEntity);
    EXPECT_EQ(sim.received().front(), "02 06 49 01 03 09 00 40");
    EXPECT_EQ(module->hasUEI(3, 9, 0, 0xC0), aErrParam);
    EXPECT_EQ(module->hasUEI(3, 9, 0, 0x01), aErrParam);

    uint8_t count = 0;
    EXPECT_EQ(module->classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(module->classQuantity(0x30, &count), aErrNone);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module->classQuantity(3, nullptr), aErrParam);
    EXPECT_EQ(sim.received().size(), 7u);

    // The simulator leaves these unanswered: the requests and the time-out show.
    sim.mark();
    count = 9;
    EXPECT_EQ(module->subClassQuantity(3, 1, &count), aErrTimeout);
    EXPECT_EQ(count, 0);
    uint8_t group = 9;
    EXPECT_EQ(module->entityGroup(3, 2, &group), aErrTimeout);
    EXPECT_EQ(group, 0);
    EXPECT_EQ(sim.received(), (std::vector<std::string>{"02 04 49 05 03 01", "02 04 49 06 03 02"}));
}

TEST_F(ApiModuleConnected, SharesTheRoutersLink) {
    auto member = plainModule(2, true);
    Module unconnected(2, 0);
    EXPECT_EQ(member->connectThroughLinkModule(&unconnected), aErrNotFound);
    Module neverConnected(2, 0);
    neverConnected.setConfig(plainConfig());
    ASSERT_EQ(neverConnected.getLink()->setLinkSpecifier(sim.spec()), aErrNone);
    EXPECT_EQ(member->connectThroughLinkModule(&neverConnected), aErrInitialization);

    sim.mark();
    ASSERT_EQ(member->connectThroughLinkModule(module.get()), aErrNone);
    EXPECT_TRUE(member->isConnected());
    EXPECT_EQ(member->connectThroughLinkModule(module.get()), aErrNone);
    aWeaveConfig config;
    member->getConfig(&config);
    EXPECT_EQ(config.enabled, 0);

    module.reset();
    const uint8_t data[] = {0x42};
    EXPECT_EQ(member->debug(data, 1), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{"02 02 17 42"});
    EXPECT_EQ(sim.countStartingWith("ev disconnect"), 0u);

    // Sharing switched probing off: a reconnect keeps the address it has.
    member->disconnect();
    member->setModuleAddress(8);
    sim.mark();
    EXPECT_EQ(member->reconnect(), aErrNone);
    EXPECT_EQ(member->getModuleAddress(), 8);
    EXPECT_TRUE(sim.received().empty());
}

// A router configured for link-server sharing hands its members a client specifier at
// the configured interface and port; the member takes one more use of the router's link.
TEST(ApiModule, SharingThroughALinkServerRouter) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    Module router(2, false, 0);
    aWeaveConfig shared = plainConfig();
    shared.enabled = 1;
    shared.port = 9000;
    router.setConfig(shared);
    ASSERT_EQ(router.connectFromSpec(sim.spec()), aErrNone);

    auto member = plainModule(2, false);
    EXPECT_EQ(member->connectThroughLinkModule(&router), aErrNone);
    linkSpec spec;
    ASSERT_EQ(member->getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(AWEAVE));
    EXPECT_EQ(spec.ipAddress, shared.networkInterface);
    EXPECT_EQ(spec.port, 9000u);
    EXPECT_TRUE(member->isConnected());
    ASSERT_EQ(router.disconnect(), aErrNone);
    EXPECT_TRUE(member->isConnected());
}

// Behind a router several modules share one link: a reply from one module is never
// taken as the answer of another, and stays for its own module.
TEST_F(ApiModuleConnected, RepliesAreTakenOnlyFromTheirModule) {
    auto other = plainModule(4, false);
    ASSERT_EQ(other->connectThroughLinkModule(module.get()), aErrNone);
    EXPECT_EQ(other->getModuleAddress(), 4);

    const uint8_t first[] = {0x01};
    Link* link = module->getLink();
    ASSERT_EQ(link->sendPacket(2, 0x17, 1, first), aErrNone);
    ASSERT_TRUE(sim.waitForLog("tx 02 02 17 01"));

    const uint8_t second[] = {0x01};
    EXPECT_EQ(other->debug(second, 1), aErrTimeout);
    uint8_t length = 1;
    const uint8_t match = 0x17;
    uint8_t buffer[28] = {};
    ASSERT_EQ(link->receivePacket(2, &match, &length, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x17, 0x01}));
}

}  // namespace
