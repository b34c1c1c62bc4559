// TCP socket stream against a real peer on 127.0.0.1 inside the test: what it does beyond
// the stream contract (connecting, reconnecting after a reset, a full send buffer).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aStreamsocket.h"
#include "byte_patterns.h"
#include "tcp_peer.h"
#include "wait_until.h"

using testsupport::msSince;

namespace {

using Clock = std::chrono::steady_clock;

using Peer = testsupport::TcpPeer;
using testsupport::loopback;

class StreamSocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &stream), aErrNone);
        ASSERT_TRUE(peer.accept());
    }
    void TearDown() override { aStream_Destroy(&stream); }

    Peer peer;
    aStreamRef stream = nullptr;
};

TEST(StreamSocketCreate, ClosedPortLeavesNoStream) {
    uint16_t port;
    {
        // A bound socket that never listens: connections to it are refused.
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = loopback();
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t length = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        aStreamRef s = reinterpret_cast<aStreamRef>(&port);
        EXPECT_EQ(aStream_CreateSocket(loopback(), port, &s), aErrResource);
        EXPECT_EQ(s, nullptr);
        close(fd);
    }
    EXPECT_EQ(aStream_CreateSocket(loopback(), port, nullptr), aErrResource);
}

TEST(StreamSocketCreate, ConnectGivesUpAfterItsTimeOut) {
    // A listener whose accept queue is full drops further handshakes, so a
    // connect without a time-out would hang for minutes.
    Peer peer(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = loopback();
        a.sin_port = htons(peer.port());
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        fillers.push_back(fd);
    }
    const auto start = Clock::now();
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateSocket(loopback(), peer.port(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_GE(msSince(start), aSOCKET_CONNECT_TIMEOUT_MS - 100);
    EXPECT_LT(msSince(start), aSOCKET_CONNECT_TIMEOUT_MS + 2000);
    for (int fd : fillers) close(fd);
}

TEST_F(StreamSocket, ReadAfterResetReconnects) {
    peer.reset();
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    ASSERT_TRUE(peer.accept());
    peer.send("y");
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'y');
    EXPECT_EQ(aStream_Write(stream, "w", 1), aErrNone);
    EXPECT_EQ(peer.receive(1), "w");
}

TEST_F(StreamSocket, FullSendBufferEndsInBusy) {
    // The peer reads nothing, so the block can never leave completely.
    const std::string block = testsupport::patternBytes(16 << 20);
    const auto start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, block.data(), block.size()), aErrBusy);
    const long elapsed = msSince(start);
    EXPECT_GE(elapsed, (aSOCKET_MAX_SEND_RETRY - 1) * aSOCKET_RETRY_DELAY_MS - 20);
    EXPECT_LT(elapsed, 3000);
}

// A block cut short by a reset goes out whole on the new connection, and only one
// of the two threads reconnects.
class StreamSocketResetMidBlock : public StreamSocket, public ::testing::WithParamInterface<bool> {};

TEST_P(StreamSocketResetMidBlock, ResendsTheWholeBlockOnce) {
    const bool withReader = GetParam();
    std::atomic<bool> stop{false};
    std::atomic<int> bytesRead{0};
    std::thread reader;
    if (withReader) {
        reader = std::thread([&] {
            for (int i = 0; i < 1000 && !stop; i++) {
                uint8_t byte;
                if (aStream_WaitReadable(stream, 20) == aErrNone && aStream_Read(stream, &byte, 1) == aErrNone)
                    bytesRead++;
            }
        });
    }
    const std::string block = testsupport::patternBytes(16 << 20);
    aErr written = aErrUnknown;
    std::thread writer([&] { written = aStream_Write(stream, block.data(), block.size()); });

    // Part of the block sits on the first connection when it is reset.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    // The new connection takes the whole block into its receive buffer, so a test
    // thread that a loaded machine leaves unscheduled for a while never looks to the
    // writer like a peer that stopped reading (which it rightly gives up on).
    const int receiveBuffer = 64 << 20;
    if (setsockopt(peer.listener(), SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof(receiveBuffer)) != 0)
        setsockopt(peer.listener(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    peer.reset();
    ASSERT_TRUE(peer.accept());
    const std::string received = peer.receive(block.size(), 10000);
    writer.join();
    stop = true;
    if (reader.joinable()) reader.join();

    EXPECT_EQ(written, aErrNone);
    EXPECT_EQ(received.size(), block.size());
    EXPECT_TRUE(received == block);
    EXPECT_FALSE(peer.hasPendingConnection(100));
    EXPECT_EQ(bytesRead, 0);
    // The new connection is still the stream's own.
    EXPECT_EQ(aStream_Write(stream, "ok", 2), aErrNone);
    EXPECT_EQ(peer.receive(2), "ok");
}

INSTANTIATE_TEST_SUITE_P(StreamSocketThreads, StreamSocketResetMidBlock, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "WithReader" : "WriterAlone";
                         });

}  // namespace
