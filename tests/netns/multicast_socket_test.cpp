// Multicast sockets of link-server discovery, against plain sockets and each other,
// inside the private namespace that tools/netns/netns-run builds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "aMulticast.h"
#include "test_namespace.h"

using namespace std::chrono_literals;

namespace {

const uint32_t GROUP = htonl(0xE0000007);  // 224.0.0.7
const uint32_t LOOPBACK = htonl(INADDR_LOOPBACK);
const uint16_t PORT = 9870;

class MulticastSocket : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
    }
};

// A plain socket sending to the group through loopback, as another program would.
bool sendPlain(const void* bytes, size_t count, uint16_t port) {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) return false;
    in_addr loopback{};
    loopback.s_addr = LOOPBACK;
    setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(port);
    group.sin_addr.s_addr = GROUP;
    const bool sent =
        sendto(sock, bytes, count, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) == static_cast<ssize_t>(count);
    close(sock);
    return sent;
}

TEST_F(MulticastSocket, ReceiverWithInterfaceZeroHearsTheGroupOnLoopback) {
    aMulticastRef receiver = aMulticast_Create(0, GROUP, PORT, 0);
    ASSERT_NE(receiver, nullptr);
    const char text[] = "over loopback";
    ASSERT_TRUE(sendPlain(text, sizeof text, PORT));
    char buffer[64] = {};
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), static_cast<int32_t>(sizeof text));
    EXPECT_STREQ(buffer, text);
    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
    EXPECT_EQ(receiver, nullptr);
}

TEST_F(MulticastSocket, SenderReachesReceiverOfTheSamePort) {
    aMulticastRef receiver = aMulticast_Create(LOOPBACK, GROUP, PORT, 0);
    aMulticastRef sender = aMulticast_Create(LOOPBACK, GROUP, PORT, 1);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    const uint8_t bytes[128] = {4, 0, 0, 0, 0x42};
    EXPECT_EQ(aMulticast_Send(sender, bytes, sizeof bytes), 128);
    uint8_t buffer[256] = {};
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), 128);
    EXPECT_EQ(memcmp(buffer, bytes, sizeof bytes), 0);
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
}

TEST_F(MulticastSocket, SecondReceiverOnTheSamePortFailsUntilTheFirstIsGone) {
    aMulticastRef first = aMulticast_Create(LOOPBACK, GROUP, PORT, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(aMulticast_Create(LOOPBACK, GROUP, PORT, 0), nullptr);
    // Senders bind nothing, so they never take a receiver's port.
    aMulticastRef sender = aMulticast_Create(LOOPBACK, GROUP, PORT, 1);
    EXPECT_NE(sender, nullptr);
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&first);
    aMulticastRef again = aMulticast_Create(LOOPBACK, GROUP, PORT, 0);
    EXPECT_NE(again, nullptr);
    aMulticast_Destroy(&again);
}

TEST_F(MulticastSocket, ReceiveGivesUpAfterAboutOneSecond) {
    aMulticastRef receiver = aMulticast_Create(LOOPBACK, GROUP, PORT, 0);
    ASSERT_NE(receiver, nullptr);
    uint8_t buffer[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 5s);
    aMulticast_Destroy(&receiver);
}

TEST_F(MulticastSocket, WrongDirectionAndNullHandlesAreRefused) {
    aMulticastRef receiver = aMulticast_Create(LOOPBACK, GROUP, PORT, 0);
    aMulticastRef sender = aMulticast_Create(LOOPBACK, GROUP, PORT, 1);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    uint8_t buffer[4] = {};
    EXPECT_EQ(aMulticast_Send(receiver, buffer, sizeof buffer), -3);
    EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), -3);
    EXPECT_EQ(aMulticast_Send(nullptr, buffer, sizeof buffer), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof buffer), -2);
    aMulticastRef none = nullptr;
    EXPECT_EQ(aMulticast_Destroy(&none), -2);
    EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
}

TEST_F(MulticastSocket, AGroupThatIsNotMulticastFails) {
    // Joining 127.0.0.2 as a group is refused by the kernel; nothing is left open.
    EXPECT_EQ(aMulticast_Create(LOOPBACK, htonl(0x7F000002), PORT, 0), nullptr);
    aMulticastRef receiver = aMulticast_Create(LOOPBACK, GROUP, PORT, 0);
    EXPECT_NE(receiver, nullptr);
    aMulticast_Destroy(&receiver);
}

}  // namespace
