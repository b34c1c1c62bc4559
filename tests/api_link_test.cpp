// Link life cycle against a simulated module over loopback TCP: connecting by
// specifier, the wait for a running link, the address probe, sharing one link between
// Links, disconnect, reset and destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "Link.h"
#include "aPacket.h"
#include "api_modsim.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::tcpLinkSpec;

using testsupport::plainConfig;

namespace {

TEST(ApiLink, DefaultsAndNameLimit) {
    const aWeaveConfig config;
    EXPECT_EQ(config.enabled, 1);
    EXPECT_EQ(config.fallback, 1);
    EXPECT_EQ(config.localOnly, 1);
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.networkInterface, 0x0100007Fu);

    const std::string longName(2000, 'n');
    Link link(longName.c_str());
    EXPECT_EQ(std::string(link.getName()), longName.substr(0, 1024));
    Link unnamed(nullptr);
    EXPECT_EQ(unnamed.getName(), nullptr);
}

TEST(ApiLink, WithoutLinkOrSpecifier) {
    Link link("Link");
    EXPECT_EQ(link.getStatus(), 8);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.reset(), aErrNone);
    EXPECT_EQ(link.connect(), aErrConfiguration);
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
    EXPECT_EQ(link.getConfig(nullptr), aErrParam);
    uint8_t address = 0x55;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
}

TEST(ApiLink, TransportsThatCreateNothing) {
    struct Case {
        uint32_t type;
        uint8_t enabled;
        aErr expected;
    };
    const Case cases[] = {
        {AWEAVE, 0, aErrConfiguration},
        {0, 0, aErrMode},
        {7, 0, aErrMode},
    };
    for (const Case& c : cases) {
        linkSpec spec = tcpLinkSpec("127.0.0.2", 1);
        spec.type = c.type;
        Link link(spec, "Link");
        aWeaveConfig config = plainConfig();
        config.enabled = c.enabled;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        EXPECT_EQ(link.connect(), c.expected) << "type " << c.type;
        EXPECT_EQ(link.getStatus(), 8) << "type " << c.type;
    }
}

TEST(ApiLink, SerialIsNeverDiscovered) {
    Link link("Link");
    link.setConfig(plainConfig());
    EXPECT_EQ(link.discoverAndConnect(SERIAL, 0x1234ABCD, 0), aErrNotFound);
    EXPECT_EQ(link.getLinkSpecifier(nullptr), aErrNotFound);
}

TEST(ApiLink, NoModuleListeningGivesConnectionError) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    const linkSpec spec = sim.spec();
    sim.control("quit");
    sim.process().stop();
    Link link(spec, "Link");
    link.setConfig(plainConfig());
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_FALSE(link.isConnected());
}

TEST(ApiLink, ConnectProbeAndDisconnect) {
    ApiModsim sim({"--address", "6"});
    ASSERT_TRUE(sim.ready());
    Link link(sim.spec(), "Link");
    ASSERT_EQ(link.setConfig(plainConfig()), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getStatus(), LINK_RUNNING);
    EXPECT_EQ(link.connect(), aErrConnection);

    EXPECT_EQ(link.setConfig(aWeaveConfig()), aErrPermission);
    aWeaveConfig config;
    link.getConfig(&config);
    EXPECT_EQ(config.enabled, 0);
    EXPECT_EQ(link.setLinkSpecifier(tcpLinkSpec("127.0.0.9", 9)), aErrBusy);
    linkSpec stored;
    ASSERT_EQ(link.getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(stored.port, sim.port());

    sim.mark();
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 6);
    EXPECT_EQ(sim.received(), std::vector<std::string>{"AD 00"});

    EXPECT_EQ(link.disconnect(), aErrNone);
    EXPECT_EQ(link.getStatus(), 8);
    EXPECT_TRUE(sim.waitForLogStart("ev disconnect"));
    // The specifier stays: the same Link connects again.
    EXPECT_EQ(link.connect(), aErrNone);
    EXPECT_TRUE(link.isConnected());
}

TEST(ApiLink, AddressProbeTimesOutOnASilentModule) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    Link link(sim.spec(), "Link");
    link.setConfig(plainConfig());
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_EQ(sim.control("fault silence on"), "ok");
    uint8_t address = 0x55;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(address, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_LT(waited, std::chrono::milliseconds(1800));
}

TEST(ApiLink, ResetReopensTheStream) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    Link link(sim.spec(), "Link");
    link.setConfig(plainConfig());
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_TRUE(sim.waitForLog("ev connect"));
    EXPECT_EQ(link.reset(), aErrNone);
    EXPECT_TRUE(sim.waitForLog("ev connect", 2));
    EXPECT_TRUE(link.isConnected());
    uint8_t address = 0;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 2);
}

TEST(ApiLink, SharedLinkOutlivesTheRouterLink) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    auto router = std::make_unique<Link>(sim.spec(), "router");
    router->setConfig(plainConfig());
    ASSERT_EQ(router->connect(), aErrNone);

    Link unconnectedRouter("idle");
    Link member(sim.spec(), "member");
    member.setConfig(plainConfig());
    EXPECT_EQ(member.connectThroughLinkModule(unconnectedRouter), aErrInitialization);
    ASSERT_EQ(member.connectThroughLinkModule(*router), aErrNone);
    EXPECT_TRUE(member.isConnected());

    router.reset();
    EXPECT_TRUE(member.isConnected());
    uint8_t address = 0;
    EXPECT_EQ(member.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 2);
    EXPECT_EQ(sim.countStartingWith("ev disconnect"), 0u);
    member.disconnect();
    EXPECT_TRUE(sim.waitForLogStart("ev disconnect"));
}

// A Link whose own specifier cannot be connected must leave the router's link alone,
// also when it is disconnected or destroyed afterwards.
TEST(ApiLink, FailedSharingNeverDropsTheRoutersUse) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    Link router(sim.spec(), "router");
    router.setConfig(plainConfig());
    ASSERT_EQ(router.connect(), aErrNone);

    {
        Link withoutSpecifier("member");
        EXPECT_EQ(withoutSpecifier.connectThroughLinkModule(router), aErrConfiguration);
        EXPECT_EQ(withoutSpecifier.getStatus(), 8);
        withoutSpecifier.disconnect();
    }
    {
        linkSpec aweave = sim.spec();
        aweave.type = AWEAVE;
        Link refused(aweave, "member");
        refused.setConfig(plainConfig());
        EXPECT_EQ(refused.connectThroughLinkModule(router), aErrConfiguration);
    }
    {
        // A specifier of another module is no way through this router.
        ApiModsim other({}, "127.0.0.3");
        ASSERT_TRUE(other.ready());
        Link elsewhere(other.spec(), "member");
        elsewhere.setConfig(plainConfig());
        EXPECT_EQ(elsewhere.connectThroughLinkModule(router), aErrConnection);
        EXPECT_EQ(elsewhere.getStatus(), 8);
    }
    EXPECT_TRUE(router.isConnected());
    uint8_t address = 0;
    EXPECT_EQ(router.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(sim.countStartingWith("ev disconnect"), 0u);
}

std::atomic<int> foreignFilterCalls{0};

uint8_t countingFilter(const aPacket*, const void*) {
    ++foreignFilterCalls;
    return 0;
}

// Another user's filter on a shared link keeps running when a Link gives its use back.
TEST(ApiLink, DisconnectLeavesAnotherUsersFilter) {
    ApiModsim sim;
    ASSERT_TRUE(sim.ready());
    const linkSpec spec = sim.spec();
    auto link = std::make_unique<Link>(spec, "Link");
    link->setConfig(plainConfig());
    ASSERT_EQ(link->connect(), aErrNone);

    aLinkRef other = aLink_CreateTCPIP(spec.ipAddress, static_cast<uint16_t>(spec.port));
    ASSERT_NE(other, 0u);
    ASSERT_EQ(aLink_InstallUserPacketFilter(other, countingFilter, nullptr), aErrNone);
    link->disconnect();
    link.reset();

    foreignFilterCalls = 0;
    const uint8_t none = 0;
    aPacket* probe = aPacket_CreateWithData(0xAD, 0, &none);
    ASSERT_EQ(aLink_PutPacket(other, probe), aErrNone);
    aPacket_Destroy(&probe);
    aPacket* reply = aLink_AwaitPacket(other, 1000);
    ASSERT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
    EXPECT_EQ(foreignFilterCalls.load(), 1);
    aLink_Destroy(&other);
}

}  // namespace
