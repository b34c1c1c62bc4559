// Link-server discovery by UDP beacon over the namespace's veth pair: the search
// against an independent answering peer, the server's beacon against an independent
// searcher (tools/discovery_peer), and the beacon-interface lock around both.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "aServerDiscovery.h"
#include "discover.h"
#include "discovery_peer.h"
#include "test_namespace.h"
#include "zBeaconInterface.h"
#include "net_address.h"

using namespace std::chrono_literals;
using testsupport::DiscoveryPeer;

using testsupport::ipv4;

namespace {

class LinkServerBeacon : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send broadcasts outside the test namespace";
    }
};

bool collect(const linkSpec* spec, bool* found, void* ref) {
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *found = true;
    return true;
}

// Drives the server's beacon pieces as the server's broker does: answer when readable,
// silence when due after each wait.
class BeaconServer {
public:
    BeaconServer(const char* interfaceText, uint32_t serial, uint8_t model, uint16_t port) {
        announcement.serialNumber = serial;
        announcement.model = model;
        announcement.clientPort = port;
        uint32_t host = 0;
        beacon_ = aServerDiscovery_CreateBeacon(interfaceText, &host);
        announcement.hostAddress = host;
        if (beacon_) thread_ = std::thread([this] { run(); });
    }
    ~BeaconServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        zactor_destroy(&beacon_);
    }
    bool started() const { return beacon_ != nullptr; }

    aServerAnnouncement announcement{};

private:
    void run() {
        zpoller_t* poller = zpoller_new(beacon_, nullptr);
        aServerBeaconState state{0, 0};
        while (!stop_) {
            if (zpoller_wait(poller, 100) == beacon_) aServerDiscovery_AnswerBeacon(beacon_, &announcement, &state);
            aServerDiscovery_SilenceIfDue(beacon_, &state);
        }
        zpoller_destroy(&poller);
    }

    zactor_t* beacon_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string word(uint32_t value) {
    char text[9];
    snprintf(text, sizeof text, "%02x%02x%02x%02x", value & 0xFF, value >> 8 & 0xFF, value >> 16 & 0xFF, value >> 24);
    return text;
}

std::string expectedAnswerHex(uint32_t serial, uint8_t model, const char* address, uint16_t port) {
    const uint32_t host = ipv4(address);
    char hostHex[9];
    const auto* bytes = reinterpret_cast<const uint8_t*>(&host);
    snprintf(hostHex, sizeof hostHex, "%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
    return word(4) + word(serial) + word(0) + word(0) + word(0) + word(model) + hostHex + word(port) +
           std::string(96 * 2, '0');
}

struct Heard {
    double at;  // seconds since the searcher started
    std::string source;
    std::string hex;
};

// Every beacon an independent searcher hears within its run.
std::vector<Heard> searchIndependently(const std::vector<std::string>& args) {
    DiscoveryPeer searcher("search-beacon", args);
    std::vector<Heard> heard;
    if (!searcher.ready()) return heard;
    for (int lines = 0; lines < 1000; ++lines) {
        const std::string line = searcher.nextStartingWith("beacon ", 10s);
        if (line.empty()) break;
        char at[32], source[64], hex[1024];
        if (sscanf(line.c_str(), "beacon %31s %63s %1023s", at, source, hex) == 3)
            heard.push_back({atof(at), source, hex});
    }
    return heard;
}

TEST_F(LinkServerBeacon, SearchFindsAnIndependentServerOnTheNamedInterface) {
    DiscoveryPeer server("answer-beacon", {"--serial", "0x5EED0B01", "--model", "31", "--port", "40404", "--ip",
                                           "198.18.0.2", "--fill", "238", "--seconds", "20"});
    ASSERT_TRUE(server.ready());
    std::vector<linkSpec> found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, ipv4("198.18.0.1")), 1);
    EXPECT_EQ(server.next(), "heard");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, static_cast<uint32_t>(AWEAVE));
    EXPECT_EQ(found[0].serialNumber, 0x5EED0B01u);
    EXPECT_EQ(found[0].model, 31u);
    EXPECT_EQ(found[0].ipAddress, ipv4("198.18.0.2"));
    EXPECT_EQ(found[0].port, 40404u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&found[0]);
    for (size_t i = 32; i < sizeof(linkSpec); ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST_F(LinkServerBeacon, MalformedBeaconAnswersAreIgnored) {
    const struct {
        const char* what;
        std::vector<std::string> args;
    } cases[] = {
        {"wrong type", {"--type", "1"}}, {"model 0", {"--model", "0"}}, {"port 0", {"--port", "0"}},
        {"short", {"--size", "127"}},    {"long", {"--size", "129"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"--ip", "198.18.0.2", "--seconds", "20"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        DiscoveryPeer server("answer-beacon", args);
        ASSERT_TRUE(server.ready());
        std::vector<linkSpec> found;
        EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, ipv4("198.18.0.1")), 0);
        EXPECT_EQ(server.next(), "heard");
        EXPECT_TRUE(found.empty());
    }
}

TEST_F(LinkServerBeacon, SearchIsATimeWindowThatManyOtherBeaconsDoNotCutShort) {
    // A crowd of other beacons arrives first; the answer comes half a second later.
    DiscoveryPeer server("answer-beacon", {"--serial", "0x00C0D001", "--ip", "198.18.0.2", "--junk", "200", "--delay",
                                           "0.5", "--seconds", "20"});
    ASSERT_TRUE(server.ready());
    std::vector<linkSpec> found;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, ipv4("198.18.0.1")), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serialNumber, 0x00C0D001u);
}

TEST_F(LinkServerBeacon, SearchWithoutServersEndsAfterItsWindow) {
    std::vector<linkSpec> found;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, ipv4("198.18.0.1")), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2s);
    EXPECT_LT(took, 6s);
    EXPECT_TRUE(found.empty());
}

TEST_F(LinkServerBeacon, SearchRestoresTheInterfaceAndFreesTheLock) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();
    std::vector<linkSpec> found;
    // An address no interface has: the beacon reports no host and the search gives up.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, ipv4("10.99.99.99")), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, ipv4("198.18.0.1")), 0);
    EXPECT_EQ(zBeaconInterface_get(), "*");
    auto other = std::async(std::launch::async, [] {
        zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
    });
    EXPECT_EQ(other.wait_for(5s), std::future_status::ready);
}

TEST_F(LinkServerBeacon, ServerBeaconAnswersAnIndependentSearcher) {
    BeaconServer server("198.18.0.1", 0x0B0B0001, 44, 43210);
    ASSERT_TRUE(server.started());
    EXPECT_EQ(server.announcement.hostAddress.load(), ipv4("198.18.0.1"));
    const auto heard = searchIndependently({"--seconds", "1.5"});
    ASSERT_FALSE(heard.empty());
    for (const Heard& h : heard) EXPECT_EQ(h.hex, expectedAnswerHex(0x0B0B0001, 44, "198.18.0.1", 43210));
}

TEST_F(LinkServerBeacon, ServerBeaconIsSilentWithoutAModelAndStopsAfterTheSearcherLeaves) {
    BeaconServer server("198.18.0.2", 0x0B0B0002, 0, 43211);
    ASSERT_TRUE(server.started());
    EXPECT_TRUE(searchIndependently({"--seconds", "1.5"}).empty());

    server.announcement.model = 12;
    // The searcher publishes for its first second only; answers go on for about 2 s
    // after the server first heard it, then stop.
    const auto heard = searchIndependently({"--seconds", "5", "--quiet", "4"});
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front().hex, expectedAnswerHex(0x0B0B0002, 12, "198.18.0.2", 43211));
    EXPECT_GT(heard.back().at, 1.5);
    EXPECT_LT(heard.back().at, 3.8);
}

TEST_F(LinkServerBeacon, SearchFindsTheServerBeacon) {
    BeaconServer server("198.18.0.2", 0x0B0B0003, 7, 43212);
    ASSERT_TRUE(server.started());
    std::vector<linkSpec> found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE, collect, &found, ipv4("198.18.0.1")), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serialNumber, 0x0B0B0003u);
    EXPECT_EQ(found[0].model, 7u);
    EXPECT_EQ(found[0].ipAddress, ipv4("198.18.0.2"));
    EXPECT_EQ(found[0].port, 43212u);
}

TEST_F(LinkServerBeacon, BeaconWithoutAHostAddressFailsAndLeavesTheLockFree) {
    uint32_t host = 0xFFFFFFFF;
    EXPECT_EQ(aServerDiscovery_CreateBeacon("10.99.99.99", &host), nullptr);
    EXPECT_EQ(aServerDiscovery_CreateBeacon("eth0", &host), nullptr);
    EXPECT_EQ(host, 0xFFFFFFFFu);
    auto other = std::async(std::launch::async, [] {
        zBeaconInterface_getAndLock();
        zBeaconInterface_unlock();
    });
    EXPECT_EQ(other.wait_for(5s), std::future_status::ready);
}

TEST_F(LinkServerBeacon, BeaconIsConfiguredOnItsOwnInterfaceWhileOthersChangeTheSetting) {
    std::atomic<bool> stop{false};
    std::thread contender([&] {
        for (int i = 0; i < 100000 && !stop; ++i) {
            if (zBeaconInterface_backupSetAndLock("198.18.0.2")) {
                std::this_thread::sleep_for(2ms);
                zBeaconInterface_restoreAndUnlock();
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int round = 0; round < 15; ++round) {
        uint32_t host = 0;
        zactor_t* beacon = aServerDiscovery_CreateBeacon("198.18.0.1", &host);
        ASSERT_NE(beacon, nullptr);
        EXPECT_EQ(host, ipv4("198.18.0.1")) << "round " << round;
        zactor_destroy(&beacon);
    }
    stop = true;
    contender.join();
}

}  // namespace
