// Local link-server discovery by multicast probe: the search against an independent
// answering peer, and the server's answering actor against an independent prober
// (tools/discovery_peer), inside the private namespace of tools/netns/netns-run.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aMulticast.h"
#include "aServerDiscovery.h"
#include "discover.h"
#include "discovery_peer.h"
#include "test_namespace.h"

using namespace std::chrono_literals;
using testsupport::DiscoveryPeer;

namespace {

const uint32_t LOOPBACK = htonl(INADDR_LOOPBACK);
const uint32_t GROUP = htonl(0xE0000007);

class LinkServerProbe : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
    }
};

struct Found {
    std::vector<linkSpec> specs;
    bool stopAtFirst = false;
};

bool collect(const linkSpec* spec, bool* found, void* ref) {
    auto* all = static_cast<Found*>(ref);
    all->specs.push_back(*spec);
    *found = true;
    return !all->stopAtFirst;
}

std::vector<std::string> answerArgs(const std::string& offset, const std::string& serial,
                                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--offset", offset, "--serial", serial, "--seconds", "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

bool allZero(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (bytes[i]) return false;
    return true;
}

TEST_F(LinkServerProbe, SearchFindsALocalServerWithItsSerialModelAndPort) {
    // Trailing bytes that a sloppy peer leaves filled must not reach the caller.
    DiscoveryPeer peer("answer-probe",
                       answerArgs("0", "0x5EED0001", {"--model", "23", "--port", "41234", "--fill", "238"}));
    ASSERT_TRUE(peer.ready());
    for (const uint32_t networkInterface : {0u, LOOPBACK}) {
        SCOPED_TRACE(networkInterface);
        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, networkInterface), 1);
        EXPECT_EQ(peer.next(), "answered");
        ASSERT_EQ(found.specs.size(), 1u);
        const linkSpec& spec = found.specs[0];
        EXPECT_EQ(spec.type, static_cast<uint32_t>(AWEAVE));
        EXPECT_EQ(spec.serialNumber, 0x5EED0001u);
        EXPECT_EQ(spec.model, 23u);
        EXPECT_EQ(spec.ipAddress, LOOPBACK);
        EXPECT_EQ(spec.port, 41234u);
        EXPECT_EQ(spec.moduleAddress, 0u);
        EXPECT_EQ(spec.routerAddress, 0u);
        EXPECT_EQ(spec.routerSerialNumber, 0u);
        EXPECT_TRUE(allZero(reinterpret_cast<const uint8_t*>(&spec) + 32, sizeof spec - 32));
    }
    linkSpec* spec = aDiscovery_FindModule(AWEAVE, 0x5EED0001u, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->port, 41234u);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aDiscovery_FindModule(AWEAVE, 0x5EED0002u, 0), nullptr);
}

TEST_F(LinkServerProbe, MalformedAnswersAreIgnored) {
    const struct {
        const char* what;
        std::vector<std::string> args;
    } cases[] = {
        {"wrong type", {"--type", "2"}},
        {"model 0", {"--model", "0"}},
        {"port 0", {"--port", "0"}},
        {"port beyond 16 bits", {"--port", "70000"}},
        {"not on this host", {"--ip", "198.18.0.1"}},
        {"short", {"--size", "127"}},
        {"very short", {"--size", "4"}},
        {"long", {"--size", "129"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DiscoveryPeer peer("answer-probe", answerArgs("0", "0x0BAD0001", c.args));
        ASSERT_TRUE(peer.ready());
        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, 0), 0);
        EXPECT_EQ(peer.next(), "answered");
        EXPECT_TRUE(found.specs.empty());
    }
}

TEST_F(LinkServerProbe, BadAnswerAtOneOffsetDoesNotHideAGoodOneAtTheNext) {
    DiscoveryPeer bad("answer-probe", answerArgs("0", "0x0BAD0001", {"--model", "0"}));
    DiscoveryPeer good("answer-probe", answerArgs("1", "0x600D0001"));
    ASSERT_TRUE(bad.ready() && good.ready());
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, 0), 1);
    ASSERT_EQ(found.specs.size(), 1u);
    EXPECT_EQ(found.specs[0].serialNumber, 0x600D0001u);
}

TEST_F(LinkServerProbe, SameServerTwiceIsReportedOnceAndAStopEndsTheSearch) {
    DiscoveryPeer first("answer-probe", answerArgs("0", "0x00AA0001"));
    DiscoveryPeer twin("answer-probe", answerArgs("1", "0x00AA0001"));
    DiscoveryPeer other("answer-probe", answerArgs("2", "0x00BB0002"));
    ASSERT_TRUE(first.ready() && twin.ready() && other.ready());
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, 0), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    EXPECT_EQ(found.specs[0].serialNumber, 0x00AA0001u);
    EXPECT_EQ(found.specs[1].serialNumber, 0x00BB0002u);

    Found firstOnly;
    firstOnly.stopAtFirst = true;
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &firstOnly, 0), 1);
    EXPECT_EQ(firstOnly.specs.size(), 1u);
}

// The server side: answers heard by an independent prober.
struct Responder {
    aServerAnnouncement announcement{};
    zactor_t* actor = nullptr;
    Responder(uint32_t serial, uint8_t model, uint16_t port) {
        announcement.serialNumber = serial;
        announcement.model = model;
        announcement.hostAddress = LOOPBACK;
        announcement.clientPort = port;
        actor = aServerDiscovery_StartMulticastResponder(&announcement);
    }
    ~Responder() { zactor_destroy(&actor); }
};

std::string expectedAnswerHex(uint32_t serial, uint8_t model, uint16_t port) {
    // Written out field by field, as the answer travels: little-endian words.
    auto word = [](uint32_t value) {
        char text[9];
        snprintf(text, sizeof text, "%02x%02x%02x%02x", value & 0xFF, value >> 8 & 0xFF, value >> 16 & 0xFF,
                 value >> 24);
        return std::string(text);
    };
    std::string hex = word(4) + word(serial) + word(0) + word(0) + word(0) + word(model) + "7f000001" + word(port);
    return hex + std::string(96 * 2, '0');
}

std::string probeOffset(int offset) {
    DiscoveryPeer prober("probe", {"--offset", std::to_string(offset), "--wait", "1.5"});
    if (!prober.ready()) return "not started";
    return prober.next();
}

TEST_F(LinkServerProbe, ResponderAnswersAnIndependentProbeWellWithinOneSecond) {
    Responder server(0x0C0FFEE1, 42, 45678);
    ASSERT_NE(server.actor, nullptr);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const std::string line = probeOffset(0);
        ASSERT_EQ(line.rfind("answer ", 0), 0u) << line;
        const size_t gap = line.find(' ', 7);
        EXPECT_LT(std::stoi(line.substr(7, gap - 7)), 900);
        EXPECT_EQ(line.substr(gap + 1), expectedAnswerHex(0x0C0FFEE1, 42, 45678));
        // Probes land at different points of the responder's wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(130 * round));
    }
}

TEST_F(LinkServerProbe, TwoRespondersClaimOffsetsZeroAndOne) {
    Responder a(0xA0000001, 1, 1001);
    Responder b(0xB0000002, 2, 1002);
    ASSERT_NE(a.actor, nullptr);
    ASSERT_NE(b.actor, nullptr);
    for (uint16_t port : {9850, 9851}) EXPECT_EQ(aMulticast_Create(LOOPBACK, GROUP, port, 0), nullptr) << port;
    aMulticastRef free = aMulticast_Create(LOOPBACK, GROUP, 9852, 0);
    EXPECT_NE(free, nullptr);
    aMulticast_Destroy(&free);
    EXPECT_NE(probeOffset(0).find(expectedAnswerHex(0xA0000001, 1, 1001)), std::string::npos);
    EXPECT_NE(probeOffset(1).find(expectedAnswerHex(0xB0000002, 2, 1002)), std::string::npos);

    // Stopping a responder gives its offset back, promptly.
    const auto start = std::chrono::steady_clock::now();
    zactor_destroy(&a.actor);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    aMulticastRef reclaimed = aMulticast_Create(LOOPBACK, GROUP, 9850, 0);
    EXPECT_NE(reclaimed, nullptr);
    aMulticast_Destroy(&reclaimed);
}

TEST_F(LinkServerProbe, LocalAnswerNamesLoopbackWhateverHostAddressIsSet) {
    for (const uint32_t host : {0u, htonl(0xC6120001)}) {
        Responder server(0x10CA1001, 3, 2001);
        ASSERT_NE(server.actor, nullptr);
        server.announcement.hostAddress = host;
        EXPECT_NE(probeOffset(0).find(expectedAnswerHex(0x10CA1001, 3, 2001)), std::string::npos) << host;
    }
}

TEST_F(LinkServerProbe, NoAnswerBeforeTheModelIsKnown) {
    Responder server(0x00D00D01, 0, 2002);
    ASSERT_NE(server.actor, nullptr);
    EXPECT_EQ(probeOffset(0), "none");
    server.announcement.model = 9;
    EXPECT_NE(probeOffset(0).find(expectedAnswerHex(0x00D00D01, 9, 2002)), std::string::npos);
}

TEST_F(LinkServerProbe, SearchFindsTheResponder) {
    Responder a(0x11110001, 5, 3001);
    Responder b(0x22220002, 6, 3002);
    ASSERT_NE(a.actor, nullptr);
    ASSERT_NE(b.actor, nullptr);
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, 0), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    EXPECT_EQ(found.specs[0].serialNumber, 0x11110001u);
    EXPECT_EQ(found.specs[0].port, 3001u);
    EXPECT_EQ(found.specs[1].serialNumber, 0x22220002u);
    EXPECT_EQ(found.specs[1].model, 6u);
}

}  // namespace
