// The link-server client stream against an independent ZeroMQ ROUTER
// (tests/peers/zmq_peer.py) playing the server: frames byte for byte both ways, and a
// server that goes away or never answers reported as a connection error in bounded time.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "aLink.h"
#include "aStream_ZeroMQClient.h"
#include "forked_child.h"
#include "process.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::BackgroundProcess;

namespace {

const uint32_t LOOPBACK = 0x0100007Fu;

std::unique_ptr<BackgroundProcess> startRouter(uint16_t* port) {
    auto peer = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        "/usr/bin/python3", testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py", "router"});
    std::string line;
    if (!peer->readLine(line) || line.rfind("port ", 0) != 0) return nullptr;
    *port = static_cast<uint16_t>(std::stoi(line.substr(5)));
    return peer;
}

// Reads one byte, retrying while none is there yet; gives the last result.
aErr readByte(aStreamRef stream, uint8_t* byte, std::chrono::milliseconds limit = 5s) {
    aErr err = aErrNotReady;
    testsupport::waitUntil([&] { return (err = aStream_Read(stream, byte, 1)) != aErrNotReady; }, limit, 1ms);
    return err;
}

// A loopback port that nothing listens on while it is held.
uint16_t deadPort(int* fd) {
    *fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = LOOPBACK;
    socklen_t length = sizeof address;
    if (bind(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(*fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

TEST(ZmqClientStream, FramesBothWaysByteForByteUntilTheServerLeaves) {
    uint16_t port = 0;
    auto peer = startRouter(&port);
    ASSERT_TRUE(peer);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(LOOPBACK, port, &stream), aErrNone);
    ASSERT_NE(stream, nullptr);

    const uint8_t single = 0xAD;
    EXPECT_EQ(aStream_Write(stream, &single, 1), aErrUnimplemented);
    const uint8_t probe[] = {0xAD, 0x00};
    ASSERT_EQ(aStream_Write(stream, probe, sizeof probe), aErrNone);
    std::string line;
    ASSERT_TRUE(peer->readLine(line));
    EXPECT_EQ(line, "got ad00");
    ASSERT_TRUE(peer->readLine(line));
    EXPECT_EQ(line, "sent");

    // An empty frame carries nothing; a 30-byte packet and a heartbeat follow it.
    std::vector<uint8_t> wanted = {0x02, 28, 0x10, 0x01, 0x00};
    for (uint8_t i = 0; i < 25; ++i) wanted.push_back(i);
    wanted.insert(wanted.end(), {0x02, 0x02, 0x00, 0x00});
    std::vector<uint8_t> got;
    for (size_t i = 0; i < wanted.size(); ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(readByte(stream, &byte), aErrNone) << "byte " << i;
        got.push_back(byte);
    }
    EXPECT_EQ(got, wanted);
    uint8_t extra = 0;
    EXPECT_EQ(aStream_Read(stream, &extra, 1), aErrNotReady);

    const uint8_t heartbeat[] = {0x02, 0x00};
    ASSERT_EQ(aStream_Write(stream, heartbeat, sizeof heartbeat), aErrNone);
    ASSERT_TRUE(peer->readLine(line));
    EXPECT_EQ(line, "got 0200");

    // The peer closes its socket: reads and writes fail within seconds.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readByte(stream, &extra, 10s), aErrConnection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_EQ(aStream_Write(stream, heartbeat, sizeof heartbeat), aErrConnection);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(ZmqClientStream, ServerThatNeverAnswersIsAConnectionError) {
    int fd = -1;
    const uint16_t port = deadPort(&fd);
    ASSERT_NE(port, 0);
    aStreamRef stream = nullptr;
    // ZeroMQ connects in the background, so the creation itself succeeds.
    ASSERT_EQ(aStream_CreateClient(LOOPBACK, port, &stream), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readByte(stream, &byte, 10s), aErrConnection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    aStream_Destroy(&stream);
    close(fd);
}

// A read with nothing to read waits up to a second for the server; a wake (the link
// stopping) ends that wait at once.
TEST(ZmqClientStream, ReadWaitsForTheServerUntilWoken) {
    uint16_t port = 0;
    auto peer = startRouter(&port);
    ASSERT_TRUE(peer);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(LOOPBACK, port, &stream), aErrNone);
    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);

    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        aStream_WakeReader(stream);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    waker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    // A wake while no read waits ends the next wait instead.
    EXPECT_EQ(aStream_WakeReader(stream), aErrNone);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    aStream_Destroy(&stream);
}

TEST(ZmqClientStream, NullOutPointerIsRefused) {
    EXPECT_EQ(aStream_CreateClient(LOOPBACK, 1, nullptr), aErrParam);
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CZMQ's interrupt handling ends the stream's broker; a link over the stream then
// reports the error and rests instead of polling a dead socket in a loop.
TEST(ZmqClientStream, LinkDoesNotSpinAfterAnInterrupt) {
    const int code = testsupport::runForked([] {
        uint16_t port = 0;
        auto peer = startRouter(&port);
        if (!peer) return 2;
        aStreamRef stream = nullptr;
        if (aStream_CreateClient(LOOPBACK, port, &stream) != aErrNone) return 3;
        aLinkRef link = aLink_Create(stream);
        if (!link) return 4;
        raise(SIGINT);
        std::this_thread::sleep_for(1500ms);
        const double before = cpuSeconds();
        std::this_thread::sleep_for(1s);
        const double used = cpuSeconds() - before;
        const bool failed = aLink_GetStatus(link) == LINK_IO_ERROR;
        aLink_Destroy(&link);
        peer.reset();
        if (!failed) return 5;
        return used < 0.2 ? 0 : 6;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
