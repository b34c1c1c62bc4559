// Packet queues on one thread: IDs, limits, copies, filters and destroy.
#include <gtest/gtest.h>

#include <vector>

#include "packetfifo.h"
#include "tagged_packets.h"

namespace {

struct FilterCount {
    uint8_t address = 0;
    int calls = 0;
};

uint8_t sAddressFilter(const aPacket* packet, const void* ref) {
    auto* count = static_cast<FilterCount*>(const_cast<void*>(ref));
    count->calls++;
    return packet->address == count->address;
}

uint8_t sAll(const aPacket*, const void*) {
    return 1;
}

uint8_t sNone(const aPacket*, const void*) {
    return 0;
}

class PacketFifoQueue : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(id, 0u); }
    void TearDown() override {
        if (id != 0) aPacketFifo_Destroy(&id);
    }
    uint64_t id = aPacketFifo_Create();
};

TEST(PacketFifoIds, ConsecutiveAndNonZero) {
    uint64_t first = aPacketFifo_Create();
    uint64_t second = aPacketFifo_Create();
    const uint64_t firstId = first;
    ASSERT_NE(first, 0u);
    EXPECT_EQ(second, first + 1);
    aPacketFifo_Destroy(&first);
    aPacketFifo_Destroy(&second);
    uint64_t third = aPacketFifo_Create();
    EXPECT_EQ(third, firstId + 2) << "IDs are not reused";
    aPacketFifo_Destroy(&third);
}

TEST_F(PacketFifoQueue, ThousandAndFirstPutEmptiesTheQueue) {
    for (int i = 0; i < aPACKETFIFO_MAX_PACKETS; ++i)
        ASSERT_EQ(testsupport::putTagged(id, 0x04, static_cast<uint8_t>(i)), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1000u);

    EXPECT_EQ(testsupport::putTagged(id, 0x04, 0xAA), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);

    EXPECT_EQ(testsupport::putTagged(id, 0x04, 0xBB), aErrNone);
    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({0xBB}));
}

TEST_F(PacketFifoQueue, GetAndAwaitTakeTheOldest) {
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
    EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
    ASSERT_EQ(testsupport::putTagged(id, 0x04, 1), aErrNone);
    ASSERT_EQ(testsupport::putTagged(id, 0x06, 2), aErrNone);

    aPacket* packet = aPacketFifo_Await(id, 0);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 1);
    EXPECT_TRUE(aPacket_IsComplete(packet));
    aPacket_Destroy(&packet);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);
    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({2}));
}

TEST_F(PacketFifoQueue, QueueHoldsItsOwnCopies) {
    aPacket* mine = testsupport::taggedPacket(0x04, 7);
    ASSERT_EQ(aPacketFifo_Put(id, mine), aErrNone);
    mine->data[0] = 8;

    aPacket* out = aPacketFifo_Get(id);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, mine);
    EXPECT_EQ(out->data[0], 7);
    aPacket_Destroy(&out);
    aPacket_Destroy(&mine);

    ASSERT_EQ(testsupport::putTagged(id, 0x04, 9), aErrNone);
    FilterCount count;
    count.address = 0x04;
    aPacket* found = aPacketFifo_GetFirst(id, sAddressFilter, &count);
    ASSERT_NE(found, nullptr);
    aPacket_Destroy(&found);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u) << "the queued packet left with the copy";
}

TEST_F(PacketFifoQueue, InvalidPacketsAreNotQueued) {
    aPacket forged = {};
    forged.check = 0xBEEE;
    EXPECT_EQ(aPacketFifo_Put(id, &forged), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(id, nullptr), aErrParam);
    forged.check = aPACKET_CHECK;
    forged.dataSize = 29;
    EXPECT_EQ(aPacketFifo_Put(id, &forged), aErrParam) << "the copy fails";
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

TEST_F(PacketFifoQueue, GetFirstOffersEachPacketOnceInOrder) {
    for (uint8_t tag = 1; tag <= 4; ++tag) ASSERT_EQ(testsupport::putTagged(id, tag == 3 ? 0x04 : 0x06, tag), aErrNone);

    FilterCount count;
    count.address = 0x04;
    aPacket* found = aPacketFifo_GetFirst(id, sAddressFilter, &count);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->data[0], 3);
    aPacket_Destroy(&found);
    EXPECT_EQ(count.calls, 3) << "offering stops at the accepted packet";

    count.calls = 0;
    EXPECT_EQ(aPacketFifo_GetFirst(id, sAddressFilter, &count), nullptr);
    EXPECT_EQ(count.calls, 3);
    EXPECT_EQ(aPacketFifo_GetFirst(id, nullptr, nullptr), nullptr);
    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({1, 2, 4}));
}

TEST_F(PacketFifoQueue, DrainKeepsTheOthersInOrder) {
    for (uint8_t tag = 1; tag <= 6; ++tag) ASSERT_EQ(testsupport::putTagged(id, tag % 2 ? 0x04 : 0x06, tag), aErrNone);

    EXPECT_EQ(aPacketFifo_DrainPackets(id, sNone, nullptr), 0u);
    FilterCount count;
    count.address = 0x04;
    EXPECT_EQ(aPacketFifo_DrainPackets(id, sAddressFilter, &count), 3u);
    EXPECT_EQ(count.calls, 6) << "every packet offered once";
    EXPECT_EQ(aPacketFifo_GetLength(id), 3u);

    // The window follows the new front: a waiting search still sees the kept packets.
    count.address = 0x06;
    count.calls = 0;
    aPacket* found = aPacketFifo_AwaitFirst(id, sAddressFilter, &count, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->data[0], 2);
    aPacket_Destroy(&found);

    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({4, 6}));
    for (uint8_t tag = 1; tag <= 3; ++tag) ASSERT_EQ(testsupport::putTagged(id, 0x04, tag), aErrNone);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, sAll, nullptr), 3u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

TEST_F(PacketFifoQueue, AwaitFirstOffersQueuedPacketsOncePerCall) {
    for (uint8_t tag = 1; tag <= 3; ++tag) ASSERT_EQ(testsupport::putTagged(id, 0x06, tag), aErrNone);
    FilterCount count;
    count.address = 0x04;
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, sAddressFilter, &count, 0), nullptr);
    EXPECT_EQ(count.calls, 3);
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, sAddressFilter, &count, 30), nullptr);
    EXPECT_EQ(count.calls, 6) << "a new call offers the declined packets again, once each";
    EXPECT_EQ(testsupport::takeAllTags(id), std::vector<int>({1, 2, 3}));
}

TEST_F(PacketFifoQueue, DestroyClearsTheIdAndForgetsTheQueue) {
    ASSERT_EQ(testsupport::putTagged(id, 0x04, 1), aErrNone);
    const uint64_t old = id;
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);

    uint64_t again = old;
    EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
    EXPECT_EQ(again, old);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

    FilterCount count;
    EXPECT_EQ(aPacketFifo_GetLength(old), 0u);
    EXPECT_EQ(testsupport::putTagged(old, 0x04, 2), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(old), nullptr);
    EXPECT_EQ(aPacketFifo_Await(old, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(old, sAll, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(old, sAddressFilter, &count, 10), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(old, sAll, nullptr), 0u);
    EXPECT_EQ(count.calls, 0);
}

TEST(PacketFifoAbsent, IdZeroIsNoQueue) {
    uint64_t zero = 0;
    EXPECT_EQ(aPacketFifo_Destroy(&zero), aErrNotFound);
    EXPECT_EQ(aPacketFifo_GetLength(0), 0u);
    EXPECT_EQ(testsupport::putTagged(0, 0x04, 1), aErrParam);
    EXPECT_EQ(aPacketFifo_Await(0, 0), nullptr);
}

}  // namespace
