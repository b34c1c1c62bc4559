// A link stays alive while a call on another thread uses it: a waiter racing the
// destroy that drops the last use, or a reset, returns cleanly and promptly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "aLink.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "net_address.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

using testsupport::ipv4;

namespace {

const uint8_t MODULE_ADDRESS = 4;
const uint64_t LONG_WAIT_MS = 20000;
// Far below LONG_WAIT_MS: a waiter must not sit out its time-out once the link goes.
const auto PROMPTLY = 5s;

void putSyncQuery(aLinkRef id) {
    const uint8_t none = 0;
    aPacket* query = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    aLink_PutPacket(id, query);
    aPacket_Destroy(&query);
}

// Accepts nothing, and says so once it has looked at a packet: its waiter is then
// surely inside aLink_AwaitFirst.
struct Watcher {
    std::promise<void> looked;
    std::atomic<bool> told{false};
};

uint8_t rejectAndTell(const aPacket*, const void* ref) {
    auto* watcher = static_cast<Watcher*>(const_cast<void*>(ref));
    if (!watcher->told.exchange(true)) watcher->looked.set_value();
    return 0;
}

class LinkHold : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(dir.path(), std::vector<std::string>{
            "--tcp", "127.0.0.5:0", "--address", std::to_string(MODULE_ADDRESS)});
        ASSERT_TRUE(sim->ready());
        id = aLink_CreateTCPIP(ipv4("127.0.0.5"), sim->tcpPort());
        ASSERT_NE(id, 0u);
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
    }

    // Starts a filtered waiter and, once it is known to be waiting, a plain waiter on
    // an emptied queue.
    void startWaiters() {
        const aLinkRef ref = id;
        first = std::async(std::launch::async, [this, ref] {
            aPacket* packet = aLink_AwaitFirst(ref, rejectAndTell, &watcher, LONG_WAIT_MS);
            const bool none = packet == nullptr;
            aPacket_Destroy(&packet);
            return none;
        });
        putSyncQuery(id);
        ASSERT_EQ(watcher.looked.get_future().wait_for(30s), std::future_status::ready);
        aLink_DrainPackets(id, drainAll, nullptr);
        plain = std::async(std::launch::async, [ref] {
            aPacket* packet = aLink_AwaitPacket(ref, LONG_WAIT_MS);
            const bool none = packet == nullptr;
            aPacket_Destroy(&packet);
            return none;
        });
    }

    TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    aLinkRef id = 0;
    Watcher watcher;
    std::future<bool> first;
    std::future<bool> plain;
};

TEST_F(LinkHold, WaitersEndCleanlyWhenTheLastUseIsDestroyed) {
    startWaiters();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    ASSERT_EQ(first.wait_for(PROMPTLY), std::future_status::ready);
    ASSERT_EQ(plain.wait_for(PROMPTLY), std::future_status::ready);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(plain.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, PROMPTLY);
}

TEST_F(LinkHold, WaitersEndCleanlyWhenTheLinkIsReset) {
    startWaiters();
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    ASSERT_EQ(first.wait_for(PROMPTLY), std::future_status::ready);
    ASSERT_EQ(plain.wait_for(PROMPTLY), std::future_status::ready);
    EXPECT_TRUE(first.get());
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
}

// Many short calls from several threads while the last use is dropped: each either
// finds the link or finds it gone, never a freed one.
TEST_F(LinkHold, CallsRacingTheLastDestroyFindTheLinkOrNothing) {
    const aLinkRef ref = id;
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([ref, &stop] {
            for (int round = 0; round < 100000 && !stop; ++round) {
                putSyncQuery(ref);
                aPacket* packet = aLink_AwaitPacket(ref, 1);
                aPacket_Destroy(&packet);
                const linkStatus status = aLink_GetStatus(ref);
                if (status == LINK_INVALID) return;
            }
        });
    }
    ASSERT_TRUE(sim->waitForLog("rx AD 00"));
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    stop = true;
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(aLink_GetStatus(ref), LINK_INVALID);
}

}  // namespace
