// Byte-wise assembly of received packets and its framing rules.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aPacket.h"

namespace {

struct Feed {
    const char* what;
    std::vector<uint8_t> bytes;
    std::vector<aErr> results;  // one per byte
    bool complete;              // after the last byte
};

TEST(PacketAssembly, FramingTable) {
    const Feed feeds[] = {
        {"empty packet", {0x06, 0x00}, {0, 0}, true},
        {"zero address", {0x00}, {aErrPacket}, false},
        {"odd address", {0x07}, {aErrPacket}, false},
        {"odd control address", {0xAD}, {aErrPacket}, false},
        {"highest even address", {0xFE, 0x00}, {0, 0}, true},
        {"data size 29", {0x04, 0x1D}, {0, aErrPacket}, false},
        {"data size 255", {0x04, 0xFF}, {0, aErrPacket}, false},
        {"two data bytes", {0x04, 0x02, 0x11, 0x22}, {0, 0, 0, 0}, true},
        {"byte past the end", {0x04, 0x02, 0x11, 0x22, 0x33}, {0, 0, 0, 0, aErrPacket}, false},
        {"partial", {0x04, 0x03, 0x11}, {0, 0, 0}, false},
    };
    for (const Feed& feed : feeds) {
        SCOPED_TRACE(feed.what);
        ASSERT_EQ(feed.bytes.size(), feed.results.size());
        aPacket* packet = aPacket_Create();
        ASSERT_NE(packet, nullptr);
        for (size_t i = 0; i < feed.bytes.size(); ++i) {
            EXPECT_EQ(aPacket_AddByte(packet, feed.bytes[i]), feed.results[i]) << "byte " << i;
            EXPECT_EQ(packet->count, i + 1) << "count rises also on failure";
        }
        EXPECT_EQ(aPacket_IsComplete(packet), feed.complete);
        aPacket_Destroy(&packet);
    }
}

TEST(PacketAssembly, EveryWireSizeFromTwoToThirty) {
    for (uint8_t size = 0; size <= aPACKET_MAX_DATA; ++size) {
        SCOPED_TRACE(testing::Message() << "data size " << int(size));
        std::vector<uint8_t> wire = {0x0A, size};
        for (uint8_t i = 0; i < size; ++i) wire.push_back(static_cast<uint8_t>(0xF0 - i));

        aPacket* packet = aPacket_Create();
        ASSERT_NE(packet, nullptr);
        for (size_t i = 0; i < wire.size(); ++i) {
            EXPECT_FALSE(aPacket_IsComplete(packet)) << "complete before byte " << i;
            ASSERT_EQ(aPacket_AddByte(packet, wire[i]), aErrNone) << "byte " << i;
        }
        EXPECT_TRUE(aPacket_IsComplete(packet));
        EXPECT_EQ(packet->count, wire.size());
        EXPECT_EQ(std::memcmp(&packet->address, wire.data(), wire.size()), 0) << "the wire form starts at address";
        for (size_t i = size; i < aPACKET_MAX_DATA; ++i) EXPECT_EQ(packet->data[i], 0) << "unused data byte " << i;
        aPacket_Destroy(&packet);
    }
}

TEST(PacketAssembly, ResetStartsAFreshPacket) {
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    for (uint8_t byte : {0x04, 0x03, 0x11, 0x22}) ASSERT_EQ(aPacket_AddByte(packet, byte), aErrNone);
    ASSERT_EQ(aPacket_Reset(packet), aErrNone);
    EXPECT_EQ(packet->count, 0);
    EXPECT_EQ(packet->address, 0);
    EXPECT_EQ(packet->dataSize, 0);
    EXPECT_EQ(packet->data[0], 0);
    EXPECT_EQ(packet->data[1], 0);
    for (uint8_t byte : {0x08, 0x01, 0x5A}) ASSERT_EQ(aPacket_AddByte(packet, byte), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(packet));
    EXPECT_EQ(packet->address, 0x08);
    EXPECT_EQ(packet->data[0], 0x5A);
    aPacket_Destroy(&packet);
}

// A bad data size is kept, and a caller that goes on feeding without a reset reaches the
// overrun; the count must then stay put, however many bytes follow.
TEST(PacketAssembly, OverrunNeverWrapsTheCount) {
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    ASSERT_EQ(aPacket_AddByte(packet, 0x04), aErrNone);
    ASSERT_EQ(aPacket_AddByte(packet, 0xC8), aErrPacket);
    for (int i = 3; i <= aPACKET_MAX_WIRE; ++i) ASSERT_EQ(aPacket_AddByte(packet, 0x55), aErrNone) << "byte " << i;
    for (int i = 0; i < 600; ++i) ASSERT_EQ(aPacket_AddByte(packet, 0x99), aErrOverrun) << "extra byte " << i;
    EXPECT_EQ(packet->count, aPACKET_MAX_WIRE + 1);
    EXPECT_EQ(packet->check, aPACKET_CHECK);
    EXPECT_EQ(packet->address, 0x04);
    EXPECT_EQ(packet->dataSize, 0xC8);
    EXPECT_EQ(packet->data[aPACKET_MAX_DATA - 1], 0x55);
    EXPECT_FALSE(aPacket_IsComplete(packet));
    aPacket_Destroy(&packet);
}

TEST(PacketAssembly, OversizedDataSizeNeverCompletes) {
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    ASSERT_EQ(aPacket_AddByte(packet, 0x04), aErrNone);
    ASSERT_EQ(aPacket_AddByte(packet, 29), aErrPacket);
    for (int i = 3; i <= aPACKET_MAX_WIRE + 1; ++i) {
        aPacket_AddByte(packet, 0x01);
        EXPECT_FALSE(aPacket_IsComplete(packet)) << "after byte " << i;
    }
    aPacket_Destroy(&packet);
}

TEST(PacketAssembly, InvalidPacketRefused) {
    EXPECT_EQ(aPacket_AddByte(nullptr, 0x04), aErrParam);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
    aPacket forged = {};
    forged.check = 0xBEEE;
    EXPECT_EQ(aPacket_AddByte(&forged, 0x04), aErrParam);
    EXPECT_EQ(forged.count, 0);
    EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&forged));
}

}  // namespace
