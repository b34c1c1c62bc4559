// The link engine and registry against the simulated module over TCP and a
// pseudo-terminal: start, route control, heartbeats, packets both ways, resync
// after framing errors, sharing by use count, reset and teardown.
#include <gtest/gtest.h>

#include <ctime>

#include <atomic>
#include <chrono>
#include <thread>

#include "aLink.h"
// aLink_Sync: the engine's resync, which the registry drives and no public call exposes.
#include "aLinkManagerInternal.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "net_address.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

using testsupport::ipv4;

namespace {

const uint8_t MODULE_ADDRESS = 4;

uint8_t fromModule(const aPacket* packet, const void*) {
    return packet->address == MODULE_ADDRESS;
}

aPacket* syncQuery() {
    const uint8_t none = 0;
    return aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
}

bool waitForStatus(aLinkRef id, linkStatus wanted, std::chrono::milliseconds limit) {
    return testsupport::waitUntil([&] { return aLink_GetStatus(id) == wanted; }, limit);
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

class TcpLink : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(
            dir.path(), std::vector<std::string>{"--tcp", "127.0.0.2:0", "--address", std::to_string(MODULE_ADDRESS),
                                                 "--serial", "0000BEEF"});
        ASSERT_TRUE(sim->ready());
        id = aLink_CreateTCPIP(ipv4("127.0.0.2"), sim->tcpPort());
        ASSERT_NE(id, 0u);
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
    }

    TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    aLinkRef id = 0;
};

TEST_F(TcpLink, StartsRunningAndRoutesOn) {
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_TRUE(sim->waitForLog("rx AF 01 01"));
    EXPECT_TRUE(sim->waitForLog("ev route on"));
    EXPECT_TRUE(sim->waitForLog("ev connect"));
}

TEST_F(TcpLink, PacketsFlowBothWaysThroughFilters) {
    aPacket* query = syncQuery();
    ASSERT_EQ(aLink_PutPacket(id, query), aErrNone);
    aPacket_Destroy(&query);
    aPacket* answer = aLink_AwaitFirst(id, fromModule, nullptr, 1000);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->address, MODULE_ADDRESS);
    EXPECT_EQ(answer->dataSize, 0);
    aPacket_Destroy(&answer);

    // A filter that accepts nothing waits out its time and leaves the queue alone.
    query = syncQuery();
    aLink_PutPacket(id, query);
    aPacket_Destroy(&query);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(
                  id, [](const aPacket*, const void*) -> uint8_t { return 0; }, nullptr, 300),
              nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
    answer = aLink_AwaitPacket(id, 1000);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->address, MODULE_ADDRESS);
    aPacket_Destroy(&answer);
}

TEST_F(TcpLink, HeartbeatsAreAnsweredAndNeverQueued) {
    for (int n : {0, 1, 254}) {
        ASSERT_EQ(sim->control("heartbeat " + std::to_string(n)), "ok");
    }
    const std::string result = sim->control("heartbeat-wait 2000");
    EXPECT_NE(result.find("hb-answered=3"), std::string::npos) << result;
    EXPECT_NE(result.find("hb-wrong=0"), std::string::npos) << result;
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(TcpLink, UserFilterConsumesHeartbeatsToo) {
    // Written by the reader thread, read here.
    std::atomic<int> calls{0};
    ASSERT_EQ(aLink_InstallUserPacketFilter(
                  id,
                  [](const aPacket*, const void* ref) -> uint8_t {
                      ++*static_cast<std::atomic<int>*>(const_cast<void*>(ref));
                      return 1;
                  },
                  &calls),
              aErrNone);
    ASSERT_EQ(sim->control("heartbeat 0"), "ok");
    const std::string result = sim->control("heartbeat-wait 300");
    EXPECT_NE(result.find("error timeout"), std::string::npos) << result;
    testsupport::waitUntil([&] { return calls.load() != 0; }, 10s);
    // Once removed, the filter is never called again, so the count is final.
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(TcpLink, FramingErrorResyncs) {
    for (const char* fault : {"fault framing odd", "fault framing zero"}) {
        const std::size_t queriesBefore = sim->countInLog("rx AD 00");
        ASSERT_EQ(sim->control(fault), "ok");
        EXPECT_TRUE(sim->waitForLog("rx AD 00", queriesBefore + 6)) << fault;
        EXPECT_TRUE(waitForStatus(id, LINK_RUNNING, 20s)) << fault;
    }
    // The link still carries packets after the resync.
    aLink_DrainPackets(id, drainAll, nullptr);
    aPacket* query = syncQuery();
    aLink_PutPacket(id, query);
    aPacket_Destroy(&query);
    aPacket* answer = aLink_AwaitFirst(id, fromModule, nullptr, 1000);
    EXPECT_NE(answer, nullptr);
    aPacket_Destroy(&answer);
}

TEST_F(TcpLink, AwaitFirstAnswersAtOnceWhileSyncing) {
    ASSERT_EQ(sim->control("fault silence on"), "ok");
    ASSERT_EQ(sim->control("fault framing odd"), "ok");
    ASSERT_TRUE(waitForStatus(id, LINK_SYNCING, 20s));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, drainAll, nullptr, 1000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
}

TEST_F(TcpLink, UnansweredSyncBurstsArePaced) {
    ASSERT_EQ(sim->control("fault silence on"), "ok");
    const std::size_t before = sim->countInLog("rx AD 00");
    ASSERT_EQ(sim->control("fault framing odd"), "ok");
    std::this_thread::sleep_for(1000ms);
    const std::size_t queries = sim->countInLog("rx AD 00") - before;
    // One burst of six about every 100 ms, never a flood.
    EXPECT_GE(queries, 6u * 5);
    EXPECT_LE(queries, 6u * 13);
}

TEST_F(TcpLink, IdleLinkCostsAlmostNoCpu) {
    const double before = processCpuSeconds();
    std::this_thread::sleep_for(1000ms);
    EXPECT_LT(processCpuSeconds() - before, 0.02);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
}

TEST_F(TcpLink, SyncCompletesAndEmptiesBothQueues) {
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(TcpLink, SecondCreateSharesTheLink) {
    const aLinkRef again = aLink_CreateTCPIP(ipv4("127.0.0.2"), sim->tcpPort());
    EXPECT_EQ(again, id);
    aLinkRef copy = again;
    ASSERT_EQ(aLink_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    // The simulator logs the connection it accepted a little after the link runs.
    ASSERT_TRUE(sim->waitForLog("ev connect"));
    EXPECT_EQ(sim->countInLog("ev connect"), 1u);
}

TEST_F(TcpLink, LastDestroyStopsPromptlyWithoutRouteOff) {
    const aLinkRef old = id;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aLink_GetStatus(old), LINK_INVALID);
    EXPECT_EQ(aLink_PutPacket(old, nullptr), aErrParam);
    // The socket stream closes with a reset.
    EXPECT_TRUE(sim->waitForLog("ev disconnect read error: Connection reset by peer"));
    EXPECT_EQ(sim->countInLog("rx AF 01 00"), 0u);
    aLinkRef absent = old;
    EXPECT_EQ(aLink_Destroy(&absent), aErrParam);
    EXPECT_EQ(absent, 0u);
}

TEST_F(TcpLink, ResetSendsRouteOffAfterQueuedPacketsAndReconnects) {
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_TRUE(sim->waitForLog("rx AF 01 00"));
    EXPECT_TRUE(sim->waitForLog("ev route off"));
    EXPECT_TRUE(sim->waitForLog("rx AF 01 01", 2));
    EXPECT_TRUE(sim->waitForLog("ev connect", 2));
}

TEST(TcpLinkRegistry, SameAddressOtherPortIsAnotherModule) {
    TempDir dir;
    ModsimProcess first(dir.path(), {"--tcp", "127.0.0.3:0", "--address", "2"}, "first");
    ModsimProcess second(dir.path(), {"--tcp", "127.0.0.3:0", "--address", "6"}, "second");
    ASSERT_TRUE(first.ready() && second.ready());
    aLinkRef a = aLink_CreateTCPIP(ipv4("127.0.0.3"), first.tcpPort());
    aLinkRef b = aLink_CreateTCPIP(ipv4("127.0.0.3"), second.tcpPort());
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(second.waitForLog("ev connect"));
    aLink_Destroy(&a);
    aLink_Destroy(&b);
}

TEST(TcpLinkRegistry, FailedCreateLeavesNothingAndUsesAnId) {
    TempDir dir;
    ModsimProcess sim(dir.path(), {"--tcp", "127.0.0.4:0"});
    ASSERT_TRUE(sim.ready());
    const uint16_t port = sim.tcpPort();
    sim.stop();
    EXPECT_EQ(aLink_CreateTCPIP(ipv4("127.0.0.4"), port), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/null", 14400), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, nullptr, 115200), 0u);
}

TEST(SerialLink, StartsSyncsAndCarriesPacketsOnAPseudoTerminal) {
    TempDir dir;
    ModsimProcess sim(dir.path(), {"--pty", "--address", std::to_string(MODULE_ADDRESS)});
    ASSERT_TRUE(sim.ready());
    aLinkRef id = aLink_CreateSerial(0x1234, sim.location().c_str(), 115200);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    EXPECT_TRUE(sim.waitForLog("rx AF 01 01"));
    EXPECT_EQ(aLink_CreateSerial(0x1234, sim.location().c_str(), 115200), id);
    aLinkRef extra = id;
    aLink_Destroy(&extra);

    ASSERT_EQ(aLink_Sync(id), aErrNone);
    ASSERT_EQ(sim.control("heartbeat 1"), "ok");
    EXPECT_NE(sim.control("heartbeat-wait 2000").find("hb-answered=1"), std::string::npos);

    const std::size_t queriesBefore = sim.countInLog("rx AD 00");
    ASSERT_EQ(sim.control("fault framing odd"), "ok");
    EXPECT_TRUE(sim.waitForLog("rx AD 00", queriesBefore + 6));
    EXPECT_TRUE(waitForStatus(id, LINK_RUNNING, 20s));

    // A serial port cannot be reopened by the registry: the reset is refused and the
    // link keeps working.
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    aLink_DrainPackets(id, drainAll, nullptr);
    aPacket* query = syncQuery();
    aLink_PutPacket(id, query);
    aPacket_Destroy(&query);
    aPacket* answer = aLink_AwaitFirst(id, fromModule, nullptr, 1000);
    EXPECT_NE(answer, nullptr);
    aPacket_Destroy(&answer);
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkRegistry, UnknownIdsAreInvalid) {
    EXPECT_EQ(aLink_GetStatus(0), LINK_INVALID);
    EXPECT_EQ(aLink_GetStatus(0xFFFFFF), LINK_INVALID);
    EXPECT_EQ(aLink_GetPacket(0xFFFFFF), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(0xFFFFFF, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(0xFFFFFF, drainAll, nullptr), 0u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(0xFFFFFF, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(0xFFFFFF, 1), aErrNotFound);
    EXPECT_EQ(aLink_Reset(0xFFFFFF), aErrParam);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
}

}  // namespace
