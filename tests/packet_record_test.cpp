// Creating, copying, reading and destroying packets.
#include <gtest/gtest.h>

#include <cstring>

#include "aPacket.h"

namespace {

TEST(PacketRecord, CreateGivesAnEmptyValidPacket) {
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    EXPECT_TRUE(aVALIDPACKET(packet));
    EXPECT_EQ(packet->check, 0xBEEF);
    EXPECT_EQ(packet->count, 0);
    EXPECT_EQ(packet->address, 0);
    EXPECT_EQ(packet->dataSize, 0);
    for (uint8_t byte : packet->data) EXPECT_EQ(byte, 0);
    EXPECT_FALSE(aPacket_IsComplete(packet));
    aPacket_Destroy(&packet);
}

TEST(PacketRecord, CreateWithDataLimits) {
    uint8_t buffer[29];
    for (int i = 0; i < 29; ++i) buffer[i] = static_cast<uint8_t>(i + 1);

    aPacket* query = aPacket_CreateWithData(0xAD, 0, buffer);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(query->address, 0xAD);
    EXPECT_EQ(query->dataSize, 0);
    EXPECT_EQ(query->count, 2);
    EXPECT_TRUE(aPacket_IsComplete(query));
    aPacket_Destroy(&query);

    EXPECT_EQ(aPacket_CreateWithData(0xAD, 0, nullptr), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x04, 3, nullptr), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x04, 29, buffer), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x04, 255, buffer), nullptr);

    aPacket* full = aPacket_CreateWithData(0x04, 28, buffer);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->count, 30) << "wire form of 30 bytes";
    EXPECT_TRUE(aPacket_IsComplete(full));
    EXPECT_EQ(std::memcmp(full->data, buffer, 28), 0);
    aPacket_Destroy(&full);

    aPacket* part = aPacket_CreateWithData(0x04, 3, buffer);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->data[2], 3);
    EXPECT_EQ(part->data[3], 0) << "bytes beyond the data size are zero";
    aPacket_Destroy(&part);
}

TEST(PacketRecord, CopyIsCompleteAndDistinct) {
    aPacket* partial = aPacket_Create();
    ASSERT_NE(partial, nullptr);
    for (uint8_t byte : {0x04, 0x03, 0x11}) ASSERT_EQ(aPacket_AddByte(partial, byte), aErrNone);

    aPacket* copy = aPacket_Copy(partial);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, partial);
    EXPECT_EQ(copy->address, 0x04);
    EXPECT_EQ(copy->dataSize, 3);
    EXPECT_EQ(copy->data[0], 0x11);
    EXPECT_EQ(copy->count, 5) << "a copy is complete whatever the original's count";
    EXPECT_TRUE(aPacket_IsComplete(copy));
    aPacket_Destroy(&copy);

    partial->dataSize = 29;
    EXPECT_EQ(aPacket_Copy(partial), nullptr);
    partial->dataSize = 3;
    partial->check = 0;
    EXPECT_EQ(aPacket_Copy(partial), nullptr);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    partial->check = 0xBEEF;
    aPacket_Destroy(&partial);
}

struct GetterRow {
    uint8_t dataSize;
    aErr cmd, option, index;
};

TEST(PacketRecord, GettersByDataSize) {
    const uint8_t data[3] = {0x5D, 0xFF, 0xFF};
    const GetterRow rows[] = {
        {0, aErrPacket, aErrPacket, aErrPacket},
        {1, aErrNone, aErrPacket, aErrPacket},
        {2, aErrNone, aErrNone, aErrPacket},
        {3, aErrNone, aErrNone, aErrNone},
    };
    for (const GetterRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "data size " << int(row.dataSize));
        aPacket* packet = aPacket_CreateWithData(0x04, row.dataSize, data);
        ASSERT_NE(packet, nullptr);
        uint8_t cmd = 0xEE, option = 0xEE, index = 0xEE;
        EXPECT_EQ(aPacket_GetCmd(packet, &cmd), row.cmd);
        EXPECT_EQ(aPacket_GetOption(packet, &option), row.option);
        EXPECT_EQ(aPacket_GetIndex(packet, &index), row.index);
        EXPECT_EQ(cmd, row.cmd == aErrNone ? 0x5D : 0xEE);
        EXPECT_EQ(option, row.option == aErrNone ? 0x3F : 0xEE) << "flags masked off";
        EXPECT_EQ(index, row.index == aErrNone ? 0x1F : 0xEE) << "flags masked off";

        EXPECT_EQ(aPacket_GetCmd(packet, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetOption(packet, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetIndex(packet, nullptr), aErrParam);
        aPacket_Destroy(&packet);
    }
    uint8_t out = 0;
    EXPECT_EQ(aPacket_GetCmd(nullptr, &out), aErrPacket);
    EXPECT_EQ(aPacket_GetIndex(nullptr, nullptr), aErrParam);
}

TEST(PacketRecord, DestroyClearsThePointer) {
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

    aPacket forged = {};
    aPacket* pointer = &forged;
    EXPECT_EQ(aPacket_Destroy(&pointer), aErrParam) << "an invalid packet is not freed";
    EXPECT_EQ(pointer, &forged);
}

}  // namespace
