// The packet-log ring: room made by dropping whole oldest records, records that can
// never fit, wrap-around of records across the buffer's end, and short buffers.
#include <gtest/gtest.h>

#include <vector>

#include "aPacketDebug.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
    uint32_t direction;
    Bytes bytes;
};

// Everything the ring holds, oldest first; empties it.
std::vector<Record> drain(aPacketLog* log) {
    std::vector<Record> records;
    for (int guard = 0; guard < 100000; ++guard) {
        uint8_t buffer[256];
        uint32_t direction = 0;
        uint32_t length = sizeof buffer;
        if (aPacketLog_Get(log, &direction, &length, buffer) != aErrNone) break;
        records.push_back({direction, Bytes(buffer, buffer + length)});
    }
    return records;
}

Bytes numbered(uint32_t n, uint32_t size) {
    Bytes bytes(size);
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(n + i);
    return bytes;
}

TEST(PacketLogRing, RecordFitsOnlyWithOneByteToSpare) {
    struct Case {
        uint32_t size;
        uint32_t length;
        aErr expected;
    };
    for (const Case& c : {Case{8, 5, aErrNone}, Case{8, 6, aErrOverrun}, Case{8, 7, aErrOverrun}, Case{3, 0, aErrNone},
                          Case{2, 0, aErrOverrun}, Case{0x10000, 255, aErrNone},
                          // The length byte cannot say 256: such a record would read back cut.
                          Case{0x10000, 256, aErrParam}, Case{0x10000, 0x10101, aErrParam}}) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " length " << c.length);
        aPacketLog* log = aPacketLog_Create(c.size);
        ASSERT_NE(log, nullptr);
        const Bytes kept = {9};
        const bool roomForKept = c.size > 3;
        if (roomForKept) {
            ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 1, kept.data()), aErrNone);
        }
        const Bytes bytes = numbered(1, c.length);
        EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_OUTGOING, c.length, bytes.data()), c.expected);
        const auto records = drain(log);
        if (c.expected == aErrNone) {
            ASSERT_FALSE(records.empty());
            EXPECT_EQ(records.back().direction, static_cast<uint32_t>(aPACKETLOG_OUTGOING));
            EXPECT_EQ(records.back().bytes, bytes);
        } else if (roomForKept) {
            // A refused record leaves what the ring held untouched.
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].bytes, kept);
        }
        aPacketLog_Destroy(&log);
        EXPECT_EQ(log, nullptr);
    }
}

TEST(PacketLogRing, LongRunKeepsTheNewestWholeRecords) {
    aPacketLog* log = aPacketLog_Create(0x10000);
    ASSERT_NE(log, nullptr);
    const uint32_t total = 5000;  // 160,000 bytes of records through a 65,536-byte ring
    for (uint32_t n = 0; n < total; ++n) {
        const Bytes bytes = numbered(n, 30);
        ASSERT_EQ(aPacketLog_Put(log, n % 2 ? aPACKETLOG_INCOMING : aPACKETLOG_OUTGOING, 30, bytes.data()), aErrNone);
    }
    const auto records = drain(log);
    // 32-byte records; one byte stays free.
    const uint32_t capacity = (0x10000 - 1) / 32;
    ASSERT_EQ(records.size(), capacity);
    for (uint32_t i = 0; i < records.size(); ++i) {
        const uint32_t n = total - capacity + i;
        EXPECT_EQ(records[i].direction, n % 2 ? 2u : 1u);
        ASSERT_EQ(records[i].bytes, numbered(n, 30)) << "record " << i;
    }
    aPacketLog_Destroy(&log);
}

TEST(PacketLogRing, RecordsWrapAcrossTheBufferEnd) {
    // A small ring that every size of record crosses at some point.
    aPacketLog* log = aPacketLog_Create(37);
    ASSERT_NE(log, nullptr);
    std::vector<Bytes> written;
    for (uint32_t n = 0; n < 200; ++n) {
        const Bytes bytes = numbered(n, static_cast<uint8_t>(n % 13));
        ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_INCOMING, static_cast<uint32_t>(bytes.size()), bytes.data()),
                  aErrNone);
        written.push_back(bytes);
        if (n % 3 == 2) {
            // What comes out is always a run of the newest records, whole.
            const auto records = drain(log);
            ASSERT_FALSE(records.empty());
            const size_t first = written.size() - records.size();
            for (size_t i = 0; i < records.size(); ++i) ASSERT_EQ(records[i].bytes, written[first + i]) << n;
            size_t used = 0;
            for (const auto& r : records) used += r.bytes.size() + 2;
            EXPECT_LT(used, 37u);
            written.clear();
        }
    }
    aPacketLog_Destroy(&log);
}

TEST(PacketLogRing, ShortBufferKeepsTheRecord) {
    aPacketLog* log = aPacketLog_Create(64);
    ASSERT_NE(log, nullptr);
    const uint8_t start[] = "START";
    ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, sizeof start, start), aErrNone);
    uint8_t buffer[64] = {};
    uint32_t direction = 0;
    uint32_t length = 4;
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, buffer), aErrOverrun);
    EXPECT_EQ(direction, 3u);
    EXPECT_EQ(length, 6u);
    length = 64;
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(Bytes(buffer, buffer + 6), Bytes(start, start + 6));
    direction = 77;
    length = 64;
    EXPECT_EQ(aPacketLog_Get(log, &direction, &length, buffer), aErrNotFound);
    EXPECT_EQ(direction, 77u);
    EXPECT_EQ(length, 64u);
    aPacketLog_Destroy(&log);
}

TEST(PacketLogRing, CreateAndDestroyEdges) {
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    aPacketLog* none = nullptr;
    EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->enabled, 0);
    EXPECT_EQ(log->size, 16u);
    EXPECT_EQ(log->readIndex, 0u);
    EXPECT_EQ(log->writeIndex, 0u);
    aPacketLog_Destroy(&log);
}

}  // namespace
