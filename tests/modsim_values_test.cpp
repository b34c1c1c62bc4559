// The simulated module's values and module queries, exchanged as raw packets over TCP:
// system-entity get/set/call with success and error replies, byte strings in chunks,
// the 0x49 information and build-number queries and the 0x17 echo.
#include <gtest/gtest.h>

#include <unistd.h>

#include "byte_io.h"
#include "modsim_process.h"
#include "tempdir.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::hexText;
using testsupport::ModsimProcess;
using testsupport::readBytes;
using testsupport::writeBytes;

namespace {

constexpr uint8_t kAddress = 4;

// The wire form of a packet to the module.
Bytes framed(const Bytes& data) {
    Bytes packet;
    packet.reserve(data.size() + 2);
    packet.push_back(kAddress);
    packet.push_back(static_cast<uint8_t>(data.size()));
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

class ModsimValues : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--tcp", "127.0.0.2:0", "--address", "4", "--serial", "1234ABCD", "--model", "9",
                                     "--version", "01020003", "--hw-version", "A5", "--build", "98765", "--name", "sim",
                                     "--chip-id", "11111111,22222222,33333333,44444444"});
        ASSERT_TRUE(sim->ready());
        host = testsupport::connectTcp("127.0.0.2", sim->tcpPort());
        ASSERT_GE(host, 0);
    }
    void TearDown() override {
        if (host >= 0) close(host);
    }

    // Sends one packet to the module and returns the data of the packet that comes back.
    Bytes exchange(const Bytes& data) {
        EXPECT_TRUE(writeBytes(host, framed(data)));
        return readReply();
    }
    Bytes readReply() {
        const Bytes header = readBytes(host, 2);
        if (header.size() != 2 || header[0] != kAddress) return header;
        return readBytes(host, header[1]);
    }

    testsupport::TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    int host = -1;
};

struct Exchange {
    const char* what;
    Bytes request;
    Bytes reply;
};

TEST_F(ModsimValues, AnswersSystemEntityRequests) {
    const Exchange exchanges[] = {
        {"get serial number", {0x03, 0x49, 0x20}, {0x03, 0x09, 0x00, 0x12, 0x34, 0xAB, 0xCD}},
        {"get model", {0x03, 0x48, 0x20}, {0x03, 0x08, 0x00, 0x09}},
        {"get module address", {0x03, 0x41, 0x20}, {0x03, 0x01, 0x00, 0x04}},
        {"get router address", {0x03, 0x42, 0x20}, {0x03, 0x02, 0x00, 0x04}},
        {"get version", {0x03, 0x47, 0x20}, {0x03, 0x07, 0x00, 0x01, 0x02, 0x00, 0x03}},
        {"get hardware version", {0x03, 0x68, 0x20}, {0x03, 0x28, 0x00, 0x00, 0x00, 0x00, 0xA5}},
        {"get chip id word 0", {0x03, 0x67, 0x20, 0x00}, {0x03, 0x27, 0x00, 0x11, 0x11, 0x11, 0x11}},
        {"get chip id word 3", {0x03, 0x67, 0x20, 0x03}, {0x03, 0x27, 0x00, 0x44, 0x44, 0x44, 0x44}},
        {"set LED", {0x03, 0x84, 0x20, 0x01}, {0x03, 0xC4, 0x00}},
        {"get LED after set", {0x03, 0x44, 0x20}, {0x03, 0x04, 0x00, 0x01}},
        {"set router", {0x03, 0x82, 0x20, 0x08}, {0x03, 0xC2, 0x00}},
        {"get router after set", {0x03, 0x42, 0x20}, {0x03, 0x02, 0x00, 0x08}},
        {"route to me", {0x03, 0x94, 0x20, 0x01}, {0x03, 0xD4, 0x00}},
        {"call save", {0x03, 0x8A, 0x20}, {0x03, 0xCA, 0x00}},
        {"get name", {0x03, 0x60, 0x20}, {0x03, 0x20, 0x00, 's', 'i', 'm', 0x00}},
        {"set read-only serial", {0x03, 0x89, 0x20, 0, 0, 0, 1}, {0x03, 0xC9, 0x80, 12}},
        {"get write-only route-to-me", {0x03, 0x54, 0x20}, {0x03, 0x14, 0x80, 12}},
        {"get a call", {0x03, 0x4B, 0x20}, {0x03, 0x0B, 0x80, 12}},
        {"get unknown option", {0x03, 0x45, 0x20}, {0x03, 0x05, 0x80, 29}},
        {"get unknown chip id word", {0x03, 0x67, 0x20, 0x04}, {0x03, 0x27, 0x80, 29}},
        {"get unknown entity", {0x03, 0x49, 0x21}, {0x03, 0x09, 0x81, 28}},
        {"set of a wrong length", {0x03, 0x84, 0x20, 0x01, 0x02, 0x03}, {0x03, 0xC4, 0x80, 24}},
        {"get of a wrong length", {0x03, 0x49, 0x20, 0x00, 0x00}, {0x03, 0x09, 0x80, 24}},
    };
    for (const auto& e : exchanges) {
        SCOPED_TRACE(e.what);
        EXPECT_EQ(hexText(exchange(e.request)), hexText(e.reply));
    }
    EXPECT_TRUE(testsupport::readFor(host, 100ms).empty());
    EXPECT_EQ(sim->countInLog("ev uei call 3.10.0.0"), 1u);
}

TEST_F(ModsimValues, TakesAndGivesByteStringsInChunks) {
    Bytes name(25);
    for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<uint8_t>('a' + i);
    Bytes first(name.begin(), name.begin() + 24);
    first.insert(first.begin(), {0x03, 0xA0, 0x20});
    first.push_back(0x80);
    ASSERT_TRUE(writeBytes(host, framed(first)));
    // The whole value is acknowledged once, after its last chunk.
    EXPECT_EQ(hexText(exchange({0x03, 0xA0, 0x20, name[24], 0x01})), "03 E0 00");

    EXPECT_EQ(hexText(exchange({0x03, 0x60, 0x20})), hexText(first).replace(0, 8, "03 20 00"));
    EXPECT_EQ(hexText(readReply()), hexText({0x03, 0x20, 0x00, name[24], 0x01}));

    // A chunk out of sequence is refused; an empty value is one chunk of sequence 0.
    EXPECT_EQ(hexText(exchange({0x03, 0xA0, 0x20, 'x', 0x01})), "03 E0 80 18");
    EXPECT_EQ(hexText(exchange({0x03, 0xA0, 0x20, 0x00})), "03 E0 00");
    EXPECT_EQ(hexText(exchange({0x03, 0x60, 0x20})), "03 20 00 00");
}

TEST_F(ModsimValues, AnswersModuleQueriesAndEchoes) {
    const Exchange exchanges[] = {
        {"build number", {0x49, 0xFF}, {0x49, 0xFF, 0x00, 0x01, 0x81, 0xCD}},
        {"has serial for get", {0x49, 0x01, 0x03, 0x09, 0x00, 0x40}, {0x49, 0x01, 0x03, 0x09, 0x00, 0}},
        {"has serial for set", {0x49, 0x01, 0x03, 0x09, 0x00, 0x80}, {0x49, 0x01, 0x03, 0x09, 0x00, 12}},
        {"has LED for either", {0x49, 0x01, 0x03, 0x04, 0x00, 0x00}, {0x49, 0x01, 0x03, 0x04, 0x00, 0}},
        {"has unknown option", {0x49, 0x01, 0x03, 0x05, 0x00, 0x00}, {0x49, 0x01, 0x03, 0x05, 0x00, 29}},
        {"has unknown entity", {0x49, 0x01, 0x03, 0x09, 0x01, 0x40}, {0x49, 0x01, 0x03, 0x09, 0x01, 28}},
        {"system entities", {0x49, 0x04, 0x03}, {0x49, 0x04, 0x03, 1}},
        {"entities of another class", {0x49, 0x04, 0x05}, {0x49, 0x04, 0x05, 0}},
        {"echo", {0x17, 0xAA, 0xBB, 0xCC}, {0x17, 0xAA, 0xBB, 0xCC}},
        {"empty echo", {0x17}, {0x17}},
    };
    for (const auto& e : exchanges) {
        SCOPED_TRACE(e.what);
        EXPECT_EQ(hexText(exchange(e.request)), hexText(e.reply));
    }
}

TEST_F(ModsimValues, SilenceAlsoHoldsBackValueReplies) {
    ASSERT_EQ(sim->control("fault silence on"), "ok");
    ASSERT_TRUE(writeBytes(host, {kAddress, 0x03, 0x03, 0x49, 0x20, kAddress, 0x02, 0x49, 0xFF}));
    EXPECT_TRUE(testsupport::readFor(host, 200ms).empty());
    ASSERT_EQ(sim->control("fault silence off"), "ok");
    EXPECT_EQ(hexText(exchange({0x49, 0xFF})), "49 FF 00 01 81 CD");
}

}  // namespace
