// Big-endian values in packet data and payload classification.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "aUEI.h"

namespace {

aPacket sPacket(uint8_t dataSize, std::initializer_list<uint8_t> data) {
    aPacket packet = {};
    packet.check = aPACKET_CHECK;
    packet.address = 0x04;
    packet.dataSize = dataSize;
    size_t i = 0;
    for (uint8_t byte : data) packet.data[i++] = byte;
    return packet;
}

TEST(PacketUEI, ShortsAndInts) {
    const struct {
        uint8_t bytes[4];
        uint16_t shortValue;
        uint32_t intValue;
    } rows[] = {
        {{0x12, 0x34, 0x56, 0x78}, 0x1234, 0x12345678}, {{0xAB, 0xCD, 0x00, 0x01}, 0xABCD, 0xABCD0001},
        {{0x00, 0x00, 0x00, 0x00}, 0x0000, 0x00000000}, {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF, 0xFFFFFFFF},
        {{0x80, 0x00, 0x00, 0x80}, 0x8000, 0x80000080}, {{0x00, 0x7F, 0xFF, 0x01}, 0x007F, 0x007FFF01},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.intValue);
        EXPECT_EQ(aUEI_RetrieveShort(row.bytes), row.shortValue);
        EXPECT_EQ(aUEI_RetrieveInt(row.bytes), row.intValue);

        uint8_t stored[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        aUEI_StoreShort(stored, row.shortValue);
        EXPECT_EQ(std::memcmp(stored, row.bytes, 2), 0);
        EXPECT_EQ(stored[2], 0xEE);
        aUEI_StoreInt(stored, row.intValue);
        EXPECT_EQ(std::memcmp(stored, row.bytes, 4), 0);
        EXPECT_EQ(stored[4], 0xEE);
    }
}

TEST(PacketUEI, ModifyIntBufferConvertsExactlyCountWords) {
    const uint8_t bytes[12] = {0x12, 0x34, 0x56, 0x78, 0xFF, 0x00, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t words[3];
    std::memcpy(words, bytes, sizeof words);
    const uint32_t untouched = words[2];
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x12345678u);
    EXPECT_EQ(words[1], 0xFF000001u);
    EXPECT_EQ(words[2], untouched);
    aUEI_ModifyIntBuffer(words, 0);
    EXPECT_EQ(words[0], 0x12345678u);
}

struct SequenceRow {
    uint8_t dataSize;
    uint8_t last;  // placed at data byte dataSize - 1 when that lies inside the data
    uint8_t sequence;
    bool more;
};

TEST(PacketUEI, BytesSequenceAndContinue) {
    const SequenceRow rows[] = {
        {1, 0x85, 5, true},
        {3, 0x85, 5, true},
        {3, 0x05, 5, false},
        {3, 0x00, 0, false},
        {3, 0x7F, 0x7F, false},
        {3, 0x80, 0, true},
        {3, 0xFF, 0x7F, true},
        {28, 0x81, 1, true},
        // No last data byte inside the packet: nothing is read.
        {0, 0x85, 0, false},
        {29, 0x85, 0, false},
        {255, 0x85, 0, false},
    };
    for (const SequenceRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "data size " << int(row.dataSize) << " last 0x" << std::hex
                                        << int(row.last));
        aPacket packet = sPacket(row.dataSize, {});
        std::memset(packet.data, 0x85, sizeof packet.data);
        if (row.dataSize >= 1 && row.dataSize <= aPACKET_MAX_DATA) {
            std::memset(packet.data, 0x00, sizeof packet.data);
            packet.data[row.dataSize - 1] = row.last;
        }
        EXPECT_EQ(aUEI_getBytesSequence(&packet), row.sequence);
        EXPECT_EQ(aUEI_getBytesContinue(&packet), row.more);
    }
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
}

// The helpers read only the packet record, so a heap packet of exact size shows any read
// outside it under the address sanitizer.
TEST(PacketUEI, BytesHelpersStayInsideTheRecord) {
    for (uint8_t dataSize : {0, 28, 29, 30, 200, 255}) {
        auto* packet = static_cast<aPacket*>(std::calloc(1, sizeof(aPacket)));
        ASSERT_NE(packet, nullptr);
        packet->dataSize = dataSize;
        EXPECT_EQ(aUEI_getBytesSequence(packet), 0) << int(dataSize);
        EXPECT_FALSE(aUEI_getBytesContinue(packet)) << int(dataSize);
        std::free(packet);
    }
}

TEST(PacketUEI, FullPacket) {
    const std::pair<uint8_t, bool> rows[] = {{0, false}, {1, false}, {26, false}, {27, true}, {28, true}, {29, false}};
    for (const auto& row : rows) {
        aPacket packet = sPacket(row.first, {});
        EXPECT_EQ(aUEI_getBytesFullPacket(&packet), row.second) << int(row.first);
    }
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(PacketUEI, PayloadClassOfEveryCommandByte) {
    const std::set<int> notUEI = {0x00, 0x01, 0x02, 0x04, 0x08, 0x09, 0x17, 0x18, 0x49, 0x5E, 0x5F, 0xAD, 0xAF};
    for (int command = 0; command <= 0xFF; ++command) {
        // The command byte is read whatever the data size says.
        aPacket packet = sPacket(0, {static_cast<uint8_t>(command)});
        const bool expectedNot = notUEI.count(command) != 0;
        EXPECT_EQ(aUEI_isNotUEIPayload(&packet), expectedNot) << std::hex << command;
        EXPECT_EQ(aUEI_isUEIPayload(&packet), !expectedNot) << std::hex << command;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(PacketUEI, StreamPacket) {
    const struct {
        const char* what;
        aPacket packet;
        bool stream;
    } rows[] = {
        {"stream sample", sPacket(5, {0x03, 0x3F, 0x40}), true},
        {"index flags around 0x40", sPacket(6, {0x03, 0x00, 0xFF}), true},
        {"four data bytes", sPacket(4, {0x03, 0x00, 0x40}), false},
        {"no stream bit", sPacket(5, {0x03, 0x00, 0xBF}), false},
        {"option flag 0x40", sPacket(5, {0x03, 0x40, 0x40}), false},
        {"option flag 0x80", sPacket(5, {0x03, 0x80, 0x40}), false},
        {"not a UEI payload", sPacket(5, {0x49, 0x00, 0x40}), false},
        {"full packet", sPacket(28, {0x5D, 0x01, 0x41}), true},
    };
    for (const auto& row : rows) EXPECT_EQ(aUEI_isStreamPacket(&row.packet), row.stream) << row.what;
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

}  // namespace
