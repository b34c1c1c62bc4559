// Packet queues across threads: waiting, waking on arrivals and on destroy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "packetfifo.h"
#include "tagged_packets.h"
#include "wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kBound(2000);

// Accepts one address; counts the calls and records the tags offered, in order. The tags
// are written under the queue's lock by the waiting thread and read only after it ends.
struct AddressFilter {
    uint8_t address;
    std::atomic<int> calls{0};
    std::vector<int> offered;

    explicit AddressFilter(uint8_t accepted) : address(accepted) {}

    static uint8_t proc(const aPacket* packet, const void* ref) {
        auto* self = static_cast<AddressFilter*>(const_cast<void*>(ref));
        self->offered.push_back(packet->data[0]);
        self->calls++;
        return packet->address == self->address;
    }
};

// Runs one blocking call on its own thread. A call that never returns fails the test and
// is left behind rather than hanging the run.
class Waiter {
public:
    explicit Waiter(std::function<aPacket*()> call)
        : thread_([this, call] {
              result_ = call();
              done_ = true;
          }) {}

    ~Waiter() {
        if (!thread_.joinable()) return;
        if (done_)
            thread_.join();
        else
            thread_.detach();
    }

    bool done() const { return done_; }

    // The returned packet, or an added failure when the call is still blocked after bound.
    aPacket* finish(milliseconds bound = kBound) {
        if (!testsupport::waitUntil([this] { return done(); }, bound)) {
            ADD_FAILURE() << "the waiting call did not return";
            return nullptr;
        }
        thread_.join();
        return result_;
    }

private:
    std::atomic<bool> done_{false};
    aPacket* result_ = nullptr;
    std::thread thread_;
};

class PacketFifoWait : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(id, 0u); }
    void TearDown() override {
        if (id != 0) aPacketFifo_Destroy(&id);
    }
    uint64_t id = aPacketFifo_Create();
};

TEST_F(PacketFifoWait, AwaitFirstOffersEachPacketOnceAndWakesOnArrivals) {
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 1), aErrNone);
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 2), aErrNone);
    AddressFilter filter(0x04);
    const auto start = Clock::now();
    Waiter waiter([&] { return aPacketFifo_AwaitFirst(id, AddressFilter::proc, &filter, 5000); });

    ASSERT_TRUE(testsupport::waitUntil([&] { return filter.calls == 2; }));
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 3), aErrNone);
    ASSERT_TRUE(testsupport::waitUntil([&] { return filter.calls == 3; })) << "woken by the new packet";
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 4), aErrNone);
    ASSERT_TRUE(testsupport::waitUntil([&] { return filter.calls == 4; }));
    EXPECT_FALSE(waiter.done());
    ASSERT_EQ(testsupport::putTagged(id, 0x04, 5), aErrNone);

    aPacket* found = waiter.finish();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->address, 0x04);
    EXPECT_EQ(found->data[0], 5);
    aPacket_Destroy(&found);
    EXPECT_LT(testsupport::msSince(start), 2000);
    EXPECT_EQ(filter.offered, std::vector<int>({1, 2, 3, 4, 5}))
        << "each packet offered once, in queue order, across three wake-ups";
    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({1, 2, 3, 4})) << "declined packets stay";
}

TEST_F(PacketFifoWait, AwaitFirstTimeOutOffersOnlyNewArrivals) {
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 1), aErrNone);
    AddressFilter filter(0x04);
    const auto start = Clock::now();
    Waiter waiter([&] { return aPacketFifo_AwaitFirst(id, AddressFilter::proc, &filter, 300); });
    ASSERT_TRUE(testsupport::waitUntil([&] { return filter.calls == 1; }));
    ASSERT_EQ(testsupport::putTagged(id, 0x08, 2), aErrNone);

    EXPECT_EQ(waiter.finish(), nullptr);
    const long elapsed = testsupport::msSince(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 1500);
    EXPECT_EQ(filter.offered, std::vector<int>({1, 2}));
    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({1, 2}));
}

TEST_F(PacketFifoWait, WaitersWithDifferentFiltersEachGetTheirOwn) {
    AddressFilter wantsFour(0x04);
    AddressFilter wantsSix(0x06);
    Waiter four([&] { return aPacketFifo_AwaitFirst(id, AddressFilter::proc, &wantsFour, 5000); });
    Waiter six([&] { return aPacketFifo_AwaitFirst(id, AddressFilter::proc, &wantsSix, 5000); });
    // Both are waiting once the first packet has been offered to both.
    ASSERT_EQ(testsupport::putTagged(id, 0x08, 1), aErrNone);
    ASSERT_TRUE(testsupport::waitUntil([&] { return wantsFour.calls == 1 && wantsSix.calls == 1; }));
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 2), aErrNone);
    ASSERT_EQ(testsupport::putTagged(id, 0x04, 3), aErrNone);

    aPacket* gotFour = four.finish();
    aPacket* gotSix = six.finish();
    ASSERT_NE(gotFour, nullptr);
    ASSERT_NE(gotSix, nullptr);
    EXPECT_EQ(gotFour->data[0], 3);
    EXPECT_EQ(gotSix->data[0], 2);
    aPacket_Destroy(&gotFour);
    aPacket_Destroy(&gotSix);
    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({1}));
}

TEST_F(PacketFifoWait, AwaitWithHugeTimeOutWaitsForThePut) {
    const auto start = Clock::now();
    Waiter waiter([&] { return aPacketFifo_Await(id, UINT64_MAX); });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(waiter.done()) << "a huge time-out must not wrap into the past";
    ASSERT_EQ(testsupport::putTagged(id, 0x04, 9), aErrNone);

    aPacket* packet = waiter.finish();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 9);
    aPacket_Destroy(&packet);
    EXPECT_LT(testsupport::msSince(start), 1500);
}

TEST_F(PacketFifoWait, AwaitTimesOutOnAnEmptyQueue) {
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 100), nullptr);
    const long elapsed = testsupport::msSince(start);
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 1000);

    const auto instant = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
    EXPECT_LT(testsupport::msSince(instant), 50);
}

TEST_F(PacketFifoWait, DestroyWakesBlockedWaitersPromptly) {
    uint64_t other = aPacketFifo_Create();
    ASSERT_NE(other, 0u);
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 1), aErrNone);
    AddressFilter filter(0x04);
    Waiter searching(
        [&, queue = id] { return aPacketFifo_AwaitFirst(queue, AddressFilter::proc, &filter, UINT64_MAX); });
    Waiter plain([queue = other] { return aPacketFifo_Await(queue, UINT64_MAX); });
    // The filter has seen the queued packet, so the search is inside its wait.
    ASSERT_TRUE(testsupport::waitUntil([&] { return filter.calls == 1; }));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(searching.done());
    EXPECT_FALSE(plain.done());

    const auto destroyed = Clock::now();
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    ASSERT_EQ(aPacketFifo_Destroy(&other), aErrNone);
    EXPECT_EQ(searching.finish(milliseconds(1000)), nullptr);
    EXPECT_EQ(plain.finish(milliseconds(1000)), nullptr);
    EXPECT_LT(testsupport::msSince(destroyed), 500);
    EXPECT_EQ(filter.calls, 1) << "a dead queue offers nothing more";
}

// A wake ends the waits in progress as a time-out would, leaving the queue as it was.
TEST_F(PacketFifoWait, WakeWaitersEndsWaitsAndKeepsThePackets) {
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 1), aErrNone);
    AddressFilter filter(0x04);
    Waiter searching(
        [&, queue = id] { return aPacketFifo_AwaitFirst(queue, AddressFilter::proc, &filter, UINT64_MAX); });
    ASSERT_TRUE(testsupport::waitUntil([&] { return filter.calls == 1; }));
    EXPECT_EQ(aPacketFifo_WakeWaiters(id), aErrNone);
    EXPECT_EQ(searching.finish(milliseconds(5000)), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);

    // A later wait is not ended by the earlier wake.
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, AddressFilter::proc, &filter, 100), nullptr);
    EXPECT_EQ(aPacketFifo_WakeWaiters(0), aErrNotFound);
}

TEST_F(PacketFifoWait, ProducersAndOneConsumerLoseNothing) {
    constexpr int kProducers = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([this, p] {
            for (int i = 0; i < kEach; ++i) {
                const uint8_t data[3] = {static_cast<uint8_t>(p), static_cast<uint8_t>(i >> 8),
                                         static_cast<uint8_t>(i)};
                aPacket* packet = aPacket_CreateWithData(0x04, 3, data);
                EXPECT_EQ(aPacketFifo_Put(id, packet), aErrNone);
                aPacket_Destroy(&packet);
            }
        });

    std::vector<int> next(kProducers, 0);
    int received = 0;
    const auto deadline = Clock::now() + kBound;
    while (received < kProducers * kEach && Clock::now() < deadline) {
        aPacket* packet = aPacketFifo_Await(id, 200);
        if (packet == nullptr) continue;
        const int producer = packet->data[0];
        const int sequence = (packet->data[1] << 8) | packet->data[2];
        EXPECT_EQ(sequence, next[producer]) << "producer " << producer;
        next[producer] = sequence + 1;
        ++received;
        aPacket_Destroy(&packet);
    }
    for (auto& producer : producers) producer.join();
    EXPECT_EQ(received, kProducers * kEach);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

}  // namespace
