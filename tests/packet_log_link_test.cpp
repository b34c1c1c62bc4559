// The packet log of a link-core link to the simulated module over loopback TCP: what
// the reader and writer threads record, the size setting, enable and disable, caller
// records, and the release at reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "aLink.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "net_address.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

using testsupport::ipv4;

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t MODULE_ADDRESS = 4;

struct Record {
    uint32_t direction;
    Bytes bytes;
    bool operator==(const Record& other) const { return direction == other.direction && bytes == other.bytes; }
};

std::ostream& operator<<(std::ostream& out, const Record& record) {
    out << record.direction << ":";
    for (uint8_t b : record.bytes) out << " " << static_cast<int>(b);
    return out;
}

class PacketLogLink : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(
            dir.path(), std::vector<std::string>{"--tcp", "127.0.0.3:0", "--address", std::to_string(MODULE_ADDRESS),
                                                 "--serial", "0000BEEF"});
        ASSERT_TRUE(sim->ready());
        id = aLink_CreateTCPIP(ipv4("127.0.0.3"), sim->tcpPort());
        ASSERT_NE(id, 0u);
        // Route on is written at start; let it pass before any ring exists.
        ASSERT_TRUE(sim->waitForLog("ev route on"));
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
    }

    // Sends the empty packet to 0xAD, which the module answers with an empty packet from its address.
    void probe() {
        const uint8_t none = 0;
        aPacket* query = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
        ASSERT_EQ(aLink_PutPacket(id, query), aErrNone);
        aPacket_Destroy(&query);
        aPacket* answer = aLink_AwaitPacket(id, 1000);
        ASSERT_NE(answer, nullptr);
        aPacket_Destroy(&answer);
    }

    std::vector<Record> drain() {
        std::vector<Record> records;
        for (int guard = 0; guard < 10000; ++guard) {
            uint8_t buffer[256];
            uint32_t direction = 0;
            uint32_t length = sizeof buffer;
            const aErr err = aLink_PacketDebug_Read(id, &direction, &length, buffer);
            if (err != aErrNone) {
                EXPECT_EQ(err, aErrNotFound);
                break;
            }
            records.push_back({direction, Bytes(buffer, buffer + length)});
        }
        return records;
    }

    // Fills the ring with the longest caller records (257 bytes each with their header) and
    // counts how many it keeps: a ring of n bytes keeps (n - 1) / 257 of them.
    // Only the caller's records count: a packet the link records while the ring drains
    // takes the room a read freed.
    size_t recordsHeld() {
        const Bytes longest(255, 0xA5);
        for (int i = 0; i < 300; ++i) EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 255, longest.data()), aErrNone);
        const auto records = drain();
        return std::count_if(records.begin(), records.end(),
                             [&](const Record& record) { return record.direction == 3 && record.bytes == longest; });
    }

    TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    aLinkRef id = 0;
};

const Record REQUEST{1, {aLINK_ADDRESS_SYNC, 0}};
const Record ANSWER{2, {MODULE_ADDRESS, 0}};

TEST_F(PacketLogLink, RecordsBothWaysInOrderAndKeepsRecordingWhenDisabled) {
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    probe();
    probe();
    EXPECT_EQ(drain(), (std::vector<Record>{REQUEST, ANSWER, REQUEST, ANSWER}));

    ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
    probe();
    ASSERT_EQ(sim->control("heartbeat 0"), "ok");
    EXPECT_NE(sim->control("heartbeat-wait 2000").find("hb-answered=1"), std::string::npos);
    // The heartbeat and its answer are recorded like any packet.
    EXPECT_EQ(drain(),
              (std::vector<Record>{REQUEST, ANSWER, {2, {MODULE_ADDRESS, 2, 0, 0}}, {1, {MODULE_ADDRESS, 2, 0, 2}}}));

    // Enabling again keeps the ring.
    ASSERT_EQ(aLink_PacketDebug_Write(id, 3, 2, reinterpret_cast<const uint8_t*>("ab")), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(drain(), (std::vector<Record>{{3, {'a', 'b'}}}));
}

TEST_F(PacketLogLink, SizeSettingAppliesToTheNextRing) {
    struct Case {
        int32_t size;
        aErr expected;
    };
    for (const Case& c : {Case{0x4000001, aErrParam}, Case{0x4000000, aErrNone}, Case{-5, aErrNone}})
        EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, c.size), c.expected) << c.size;
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(recordsHeld(), 255u) << "a ring of 64 KiB";
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 256), aErrBusy);

    // A reset releases the ring; the refused size was never taken, so the next ring is as before.
    const size_t routeOns = sim->countInLog("ev route on");
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    // The renewed link's own start-up traffic passes before the ring is filled.
    ASSERT_TRUE(sim->waitForLog("ev route on", routeOns + 1));
    uint32_t direction = 0;
    uint32_t length = 8;
    uint8_t buffer[8];
    EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 1, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(recordsHeld(), 255u) << "a ring of 64 KiB";

    // The next enable after a reset makes a ring of the size set meanwhile.
    const size_t secondRouteOns = sim->countInLog("ev route on");
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    ASSERT_TRUE(sim->waitForLog("ev route on", secondRouteOns + 1));
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 40), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNotFound);
    // Records of a two-byte packet take four bytes: 40 bytes hold nine, the newest.
    for (int i = 0; i < 5; ++i) probe();
    const auto records = drain();
    ASSERT_EQ(records.size(), 9u);
    EXPECT_EQ(records.back(), ANSWER);
}

TEST_F(PacketLogLink, CallerRecordsAreBoundedByTheLengthByte) {
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    const Bytes big(256, 0x5A);
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 256, big.data()), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, -1, big.data()), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 4, nullptr), aErrParam);
    ASSERT_EQ(aLink_PacketDebug_Write(id, 3, 255, big.data()), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Write(id, 3, 0, nullptr), aErrNone);
    EXPECT_EQ(drain(), (std::vector<Record>{{3, Bytes(255, 0x5A)}, {3, {}}}));
}

TEST(PacketLogLinkRegistry, UnknownLinksAreRefused) {
    uint32_t direction = 0;
    uint32_t length = 8;
    uint8_t buffer[8] = {};
    const aLinkRef unknown = 0xFFFFFE;
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 0), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Disable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Read(unknown, &direction, &length, buffer), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Write(unknown, 3, 1, buffer), aErrParam);
}

}  // namespace
