// A link stays alive while a call on another thread uses it: a waiter racing the
// destroy that drops the last use, or a reset, returns cleanly and promptly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "aLink.h"
#include "modsim_process.h"
#include "net_address.h"
#include "tempdir.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

using testsupport::ipv4;
using testsupport::waitUntil;

namespace {

const uint8_t MODULE_ADDRESS = 4;
const uint64_t LONG_WAIT_MS = 20000;
// Far below LONG_WAIT_MS: a waiter must not sit out its time-out once the link goes.
const auto PROMPTLY = 5s;
// A reset takes about 100 ms; this leaves room for a loaded machine.
const auto RESET_BOUND = 10s;

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
        sim = std::make_unique<ModsimProcess>(
            dir.path(), std::vector<std::string>{"--tcp", "127.0.0.5:0", "--address", std::to_string(MODULE_ADDRESS)});
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
        startPlainWaiter();
    }

    // The plain waiter can say only that it is about to wait, not that it waits: a reset
    // that comes first leaves it waiting on the renewed link, which proves nothing.
    void startPlainWaiter() {
        const aLinkRef ref = id;
        // The thread keeps its promise alive: set_value may still run when the wait below ends.
        auto starting = std::make_shared<std::promise<void>>();
        std::future<void> started = starting->get_future();
        plain = std::async(std::launch::async, [ref, starting] {
            starting->set_value();
            aPacket* packet = aLink_AwaitPacket(ref, LONG_WAIT_MS);
            const bool none = packet == nullptr;
            aPacket_Destroy(&packet);
            return none;
        });
        ASSERT_EQ(started.wait_for(30s), std::future_status::ready);
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
    EXPECT_TRUE(first.get());
    // A plain waiter that began only after the reset is released by a sync answer and
    // the race is run again; one that really waited across the reset must end at once.
    bool endedByReset = plain.wait_for(PROMPTLY) == std::future_status::ready;
    for (int attempt = 0; !endedByReset && attempt < 5; ++attempt) {
        putSyncQuery(id);
        ASSERT_EQ(plain.wait_for(30s), std::future_status::ready);
        plain.get();
        aLink_DrainPackets(id, drainAll, nullptr);
        startPlainWaiter();
        ASSERT_EQ(aLink_Reset(id), aErrNone);
        endedByReset = plain.wait_for(PROMPTLY) == std::future_status::ready;
    }
    ASSERT_TRUE(endedByReset);
    EXPECT_TRUE(plain.get());
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

// Short calls from several threads while the link is reset again and again: a reset
// remakes the link's queues and mutexes, and no call may meet them half freed.
TEST_F(LinkHold, CallsRacingResetsMeetAWholeLink) {
    const aLinkRef ref = id;
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        // One thread keeps a packet log: a reset frees it together with its mutex.
        const bool logs = i == 0;
        callers.emplace_back([ref, logs, &stop, &rounds] {
            for (int round = 0; round < 1000000 && !stop; ++round) {
                aLink_InstallUserPacketFilter(ref, nullptr, nullptr);
                putSyncQuery(ref);
                aPacket* packet = aLink_GetPacket(ref);
                aPacket_Destroy(&packet);
                if (logs) aLink_PacketDebug_Enable(ref);
                ++rounds;
            }
        });
    }
    for (int reset = 0; reset < 5; ++reset) {
        const int before = rounds;
        EXPECT_EQ(aLink_Reset(id), aErrNone);
        // Calls ran between this reset and the next.
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (rounds < before + 100 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    stop = true;
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
}

// Threads that keep calling short waits, one after the other, never keep a reset from
// finishing: once it has begun, new calls wait for it and running waits end at once.
TEST_F(LinkHold, AResetFinishesWhileSeveralThreadsKeepWaiting) {
    const aLinkRef ref = id;
    std::atomic<bool> stop{false};
    std::atomic<int> waits{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([ref, &stop, &waits] {
            const auto end = std::chrono::steady_clock::now() + 120s;
            while (!stop && std::chrono::steady_clock::now() < end) {
                aPacket* packet = aLink_AwaitPacket(ref, 30);
                aPacket_Destroy(&packet);
                ++waits;
            }
        });
    }
    for (int reset = 0; reset < 3; ++reset) {
        SCOPED_TRACE(reset);
        const int before = waits;
        EXPECT_TRUE(waitUntil([&] { return waits >= before + 20; }, 30s));
        auto resetting = std::async(std::launch::async, [ref] { return aLink_Reset(ref); });
        const bool finished = resetting.wait_for(RESET_BOUND) == std::future_status::ready;
        // Released from their loops, the waiters let even a starved reset end.
        if (!finished) stop = true;
        EXPECT_EQ(resetting.get(), aErrNone);
        EXPECT_TRUE(finished) << "the reset was still running after " << RESET_BOUND.count() << " s";
        EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
        if (!finished) break;
    }
    stop = true;
    for (auto& waiter : waiters) waiter.join();
}

}  // namespace
