// TCP socket stream against a real peer on 127.0.0.1 inside the test.
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
#include "wait_until.h"

using testsupport::msSince;

namespace {

using Clock = std::chrono::steady_clock;

uint32_t loopback()
{
    return htonl(INADDR_LOOPBACK);
}

bool waitFor(int fd, short events, int timeoutMs)
{
    pollfd p = {fd, events, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// The module's side of the connection: listens on an ephemeral loopback port.
class Peer {
public:
    explicit Peer(int backlog = 8)
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = loopback();
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t length = sizeof(a);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        listen(listener_, backlog);
    }
    ~Peer()
    {
        if (conn_ >= 0)
            close(conn_);
        close(listener_);
    }

    uint16_t port() const { return port_; }
    int listener() const { return listener_; }

    bool accept(int timeoutMs = 3000)
    {
        if (!waitFor(listener_, POLLIN, timeoutMs))
            return false;
        if (conn_ >= 0)
            close(conn_);
        conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }
    bool hasPendingConnection(int timeoutMs) { return waitFor(listener_, POLLIN, timeoutMs); }

    void send(const std::string& bytes)
    {
        ASSERT_EQ(::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `count` bytes arrived, the connection ends or the time is up.
    std::string receive(size_t count, int timeoutMs = 3000)
    {
        std::string got;
        std::vector<char> chunk(1 << 16);
        const auto start = Clock::now();
        while (got.size() < count && msSince(start) < timeoutMs) {
            if (!waitFor(conn_, POLLIN, 100))
                continue;
            ssize_t n = recv(conn_, chunk.data(), std::min(chunk.size(), count - got.size()), 0);
            if (n <= 0)
                break;
            got.append(chunk.data(), static_cast<size_t>(n));
        }
        return got;
    }

    // Closing with a zero linger time sends a reset instead of an orderly end.
    void reset()
    {
        const linger l = {1, 0};
        setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        close(conn_);
        conn_ = -1;
    }
    void closeOrderly()
    {
        close(conn_);
        conn_ = -1;
    }

private:
    int listener_ = -1;
    int conn_ = -1;
    uint16_t port_ = 0;
};

class StreamSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port(), &stream), aErrNone);
        ASSERT_TRUE(peer.accept());
    }
    void TearDown() override { aStream_Destroy(&stream); }

    Peer peer;
    aStreamRef stream = nullptr;
};

TEST(StreamSocketCreate, ClosedPortLeavesNoStream)
{
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

TEST(StreamSocketCreate, ConnectGivesUpAfterItsTimeOut)
{
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
    for (int fd : fillers)
        close(fd);
}

TEST_F(StreamSocket, IdleReadAnswersAtOnceAndWaitTimesOut)
{
    uint8_t byte = 0x55;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(msSince(start), 200);
    EXPECT_EQ(byte, 0x55);

    start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 150), aErrTimeout);
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 1000);
}

TEST_F(StreamSocket, WaitWakesWhenAByteArrivesAndLeavesItThere)
{
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.send("k");
    });
    const auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 5000), aErrNone);
    EXPECT_LT(msSince(start), 1000);
    sender.join();
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'k');
}

// A wake ends a wait in progress, and a wake given before the wait ends the next one;
// either way nothing is taken from the stream.
TEST_F(StreamSocket, WakeEndsTheReadersWaitNowOrNext)
{
    std::thread waker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(aStream_WakeReader(stream), aErrNone);
    });
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 20000), aErrNone);
    EXPECT_LT(msSince(start), 10000);
    waker.join();

    EXPECT_EQ(aStream_WakeReader(stream), aErrNone);
    start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 20000), aErrNone);
    EXPECT_LT(msSince(start), 10000);
    // Consumed: the following wait runs its course.
    EXPECT_EQ(aStream_WaitReadable(stream, 100), aErrTimeout);

    peer.send("w");
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'w');
}

TEST_F(StreamSocket, ReadsAreAllOrNothingAndPushBackKeepsOrder)
{
    peer.send("ab");
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    char buf[4] = {'.', '.', '.', '.'};
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrNotReady);
    EXPECT_EQ(std::string(buf, 4), "....");
    // The bytes taken wait in front; the wait sees them.
    EXPECT_EQ(aStream_WaitReadable(stream, 0), aErrNone);
    peer.send("cd");
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrNone);
    EXPECT_EQ(std::string(buf, 3), "abc");

    EXPECT_EQ(aStream_Read(stream, buf, 2), aErrNotReady);
    EXPECT_EQ(aStream_Read(stream, buf, 1), aErrNone);
    EXPECT_EQ(buf[0], 'd');
    EXPECT_EQ(aStream_Read(stream, buf, 1), aErrNotReady);
}

TEST_F(StreamSocket, WritesReachThePeer)
{
    EXPECT_EQ(aStream_Write(stream, "packet", 6), aErrNone);
    EXPECT_EQ(aStream_Write(stream, "!", 1), aErrNone);
    EXPECT_EQ(aStream_Write(stream, "", 0), aErrNone);
    EXPECT_EQ(peer.receive(7), "packet!");
}

TEST_F(StreamSocket, OrderlyCloseIsAConnectionError)
{
    peer.send("z");
    peer.closeOrderly();
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'z');
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(aStream_Write(stream, "ab", 2), aErrConnection);
    // Nothing to wait for on a closed connection: the read reports it at once.
    const auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    EXPECT_LT(msSince(start), 500);
}

TEST_F(StreamSocket, ReadAfterResetReconnects)
{
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

TEST_F(StreamSocket, FullSendBufferEndsInBusy)
{
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

TEST_P(StreamSocketResetMidBlock, ResendsTheWholeBlockOnce)
{
    const bool withReader = GetParam();
    std::atomic<bool> stop{false};
    std::atomic<int> bytesRead{0};
    std::thread reader;
    if (withReader) {
        reader = std::thread([&] {
            for (int i = 0; i < 1000 && !stop; i++) {
                uint8_t byte;
                if (aStream_WaitReadable(stream, 20) == aErrNone &&
                    aStream_Read(stream, &byte, 1) == aErrNone)
                    bytesRead++;
            }
        });
    }
    const std::string block = testsupport::patternBytes(16 << 20);
    aErr written = aErrUnknown;
    std::thread writer([&] { written = aStream_Write(stream, block.data(), block.size()); });

    // Part of the block sits on the first connection when it is reset.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    peer.reset();
    ASSERT_TRUE(peer.accept());
    const std::string received = peer.receive(block.size(), 10000);
    writer.join();
    stop = true;
    if (reader.joinable())
        reader.join();

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
