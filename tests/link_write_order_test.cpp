// A caller's packets leave in the order it put them, whether it writes them itself
// (the writer idle, nothing queued) or they wait for the writer thread because another
// sender is writing: several threads send numbered packets at once to a TCP peer that
// reads the wire.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "aLink.h"
#include "tcp_peer.h"

namespace {

const int SENDERS = 4;
// Fewer than the 1001 packets at which a queue clears itself, however slow the writer.
const int PACKETS_PER_SENDER = 200;
const uint8_t FIRST_ADDRESS = 0x10;

void sendNumbered(aLinkRef id, uint8_t address) {
    for (int n = 0; n < PACKETS_PER_SENDER; ++n) {
        const uint8_t data[2] = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        aPacket* packet = aPacket_CreateWithData(address, 2, data);
        ASSERT_EQ(aLink_PutPacket(id, packet), aErrNone);
        aPacket_Destroy(&packet);
    }
}

TEST(LinkWriteOrder, EachSendersPacketsLeaveInTheOrderPut) {
    testsupport::TcpPeer peer;
    aLinkRef id = aLink_CreateTCPIP(testsupport::loopback(), peer.port());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(peer.accept());

    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s)
        senders.emplace_back(sendNumbered, id, static_cast<uint8_t>(FIRST_ADDRESS + 2 * s));
    const size_t routeOn = 3;
    const std::string wire = peer.receive(routeOn + SENDERS * PACKETS_PER_SENDER * 4u, 30000);
    for (auto& sender : senders) sender.join();
    aLink_Destroy(&id);

    std::map<uint8_t, int> next;
    size_t packets = 0;
    for (size_t at = 0; at + 2 <= wire.size();) {
        const uint8_t address = static_cast<uint8_t>(wire[at]);
        const size_t length = static_cast<uint8_t>(wire[at + 1]);
        ASSERT_LE(at + 2 + length, wire.size()) << "a packet cut short at byte " << at;
        if (address >= FIRST_ADDRESS && address < FIRST_ADDRESS + 2 * SENDERS) {
            ASSERT_EQ(length, 2u);
            const int n = static_cast<uint8_t>(wire[at + 2]) << 8 | static_cast<uint8_t>(wire[at + 3]);
            ASSERT_EQ(n, next[address]) << "sender 0x" << std::hex << int(address) << " out of order";
            ++next[address];
            ++packets;
        }
        at += 2 + length;
    }
    EXPECT_EQ(packets, static_cast<size_t>(SENDERS * PACKETS_PER_SENDER));
}

}  // namespace
