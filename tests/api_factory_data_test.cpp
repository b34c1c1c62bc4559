// Factory data of Link against a simulated module over loopback TCP: blocks read and
// written in 26-byte packets with their end packet, the buffer limit, module error
// replies and time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "api_modsim.h"
#include "byte_patterns.h"

using namespace Veltrane::Corvalith;
using testsupport::ApiModsim;
using testsupport::Bytes;
using testsupport::connectWithoutSharing;
using testsupport::wireText;

namespace {

constexpr uint8_t kAddress = 2;

class FactoryData : public testsupport::ModsimModuleTest {
protected:
    FactoryData() : ModsimModuleTest({}, kAddress) {}

    static std::string request(const Bytes& data) { return wireText(kAddress, data); }
};

TEST_F(FactoryData, ReadsBlocksWithTheirEndPacket) {
    Bytes block0;
    for (uint8_t i = 0; i < 62; ++i) block0.push_back(static_cast<uint8_t>(3 * i + 1));
    Bytes block1;
    for (uint8_t i = 0; i < 26; ++i) block1.push_back(static_cast<uint8_t>(0xA0 + i));
    struct Case {
        uint8_t sub;
        Bytes block;
        std::vector<std::string> sent;
    };
    const std::vector<Case> cases = {
        {0,
         block0,
         {request({0x5E, 0x40}), request({0x5E, 0x00}), request({0x5E, 0x00}), request({0x5E, 0x20, 0x00, 0x3E})}},
        // A full 26-byte reply means more may follow: one more request finds the end.
        {1, block1, {request({0x5E, 0x41}), request({0x5E, 0x01}), request({0x5E, 0x20, 0x00, 0x1A})}},
        {2, {}, {request({0x5E, 0x42}), request({0x5E, 0x20, 0x00, 0x00})}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.sub));
        Bytes buffer(100, 0xEE);
        size_t received = 99;
        sim.mark();
        ASSERT_EQ(link->getFactoryData(kAddress, c.sub, buffer.data(), buffer.size(), &received), aErrNone);
        ASSERT_EQ(received, c.block.size());
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(received)), c.block);
        EXPECT_EQ(sim.received(), c.sent);
    }
}

TEST_F(FactoryData, WritesReadBackAcrossChunkBoundaries) {
    for (size_t length : {1u, 25u, 26u, 27u, 52u, 60u, 256u}) {
        SCOPED_TRACE(length);
        const Bytes data = testsupport::steppedBytes(length, static_cast<uint8_t>(length), 5);
        ASSERT_EQ(link->setFactoryData(kAddress, 3, data.data(), data.size()), aErrNone);
        Bytes back(300);
        size_t received = 0;
        ASSERT_EQ(link->getFactoryData(kAddress, 3, back.data(), back.size(), &received), aErrNone);
        back.resize(received);
        EXPECT_EQ(back, data);
    }
}

TEST_F(FactoryData, WireLayoutOfWrites) {
    const Bytes data = testsupport::steppedBytes(60, 1, 5);
    auto packet = [&](uint8_t flags, size_t from, size_t count) {
        Bytes bytes{0x5E, static_cast<uint8_t>(0x07 | flags)};
        bytes.insert(bytes.end(), data.begin() + static_cast<long>(from),
                     data.begin() + static_cast<long>(from + count));
        return request(bytes);
    };
    sim.mark();
    ASSERT_EQ(link->setFactoryData(kAddress, 7, data.data(), data.size()), aErrNone);
    const std::vector<std::string> sent = {packet(0x50, 0, 26), packet(0x10, 26, 26), packet(0x10, 52, 8),
                                           request({0x5E, 0x20, 0x00, 0x3C})};
    EXPECT_EQ(sim.received(), sent);

    sim.mark();
    ASSERT_EQ(link->setFactoryData(kAddress, 7, data.data(), 0), aErrNone);
    EXPECT_EQ(sim.received(), std::vector<std::string>{request({0x5E, 0x20, 0x00, 0x00})});
}

TEST_F(FactoryData, BufferMustBeLargerThanTheBlock) {
    struct Case {
        uint8_t sub;
        size_t length;
    };
    for (const Case c : {Case{1, 26}, Case{0, 62}, Case{0, 30}}) {
        SCOPED_TRACE(c.length);
        Bytes buffer(c.length);
        size_t received = 99;
        sim.mark();
        EXPECT_EQ(link->getFactoryData(kAddress, c.sub, buffer.data(), buffer.size(), &received), aErrOverrun);
        EXPECT_EQ(received, 99u);
        const auto sent = sim.received();
        EXPECT_FALSE(sent.empty());
        for (const auto& packet : sent) EXPECT_EQ(packet.find("5E 20"), std::string::npos) << "end packet " << packet;
    }
    // The module's own error wins over a buffer that its reply would have filled.
    ASSERT_EQ(sim.control("fault factory error 1 9"), "ok");
    Bytes buffer(27);
    size_t received = 0;
    EXPECT_EQ(link->getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &received), 9);
}

// Faults count the factory requests of one operation from 0, end packet included.
TEST_F(FactoryData, ModuleErrorsPassedThrough) {
    struct Case {
        const char* what;
        const char* fault;
        bool write;
        size_t length;
        aErr expected;
    };
    const std::vector<Case> cases = {
        {"first write packet", "fault factory error 0 21", true, 60, aErrUnimplemented},
        {"later write packet", "fault factory error 2 9", true, 60, 9},
        {"write end packet", "fault factory error 1 7", true, 10, 7},
        {"block too large", nullptr, true, 300, aErrOverrun},
        {"long acknowledgement", "fault factory ack 1", true, 60, aErrSize},
        {"first read", "fault factory error 0 9", false, 0, 9},
        {"later read", "fault factory error 1 8", false, 0, 8},
        {"read end packet", "fault factory error 3 13", false, 0, 13},
        // Error replies as firmware cuts them: any flagged reply fails, of any length,
        // and code 0 or a missing code answers aErrUnknown.
        {"write packet error code 0", "fault factory error 1 0", true, 60, aErrUnknown},
        {"write packet error without code", "fault factory error-short 0", true, 60, aErrUnknown},
        {"write packet error with a trailing byte", "fault factory error-long 2 9", true, 60, 9},
        {"write end error with a trailing byte", "fault factory error-long 1 7", true, 10, 7},
        {"write end error without code", "fault factory error-short 1", true, 10, aErrUnknown},
        {"write end error code 0", "fault factory error 1 0", true, 10, aErrUnknown},
        {"read error code 0", "fault factory error 1 0", false, 0, aErrUnknown},
        {"read error without code", "fault factory error-short 0", false, 0, aErrUnknown},
        {"read end error with a trailing byte", "fault factory error-long 3 13", false, 0, 13},
        {"read end error without code", "fault factory error-short 3", false, 0, aErrUnknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fault) {
            ASSERT_EQ(sim.control(c.fault), "ok");
        }
        const Bytes data = testsupport::steppedBytes(c.length, 4, 5);
        Bytes buffer(100);
        size_t received = 99;
        const aErr result = c.write ? link->setFactoryData(kAddress, 5, data.data(), data.size())
                                    : link->getFactoryData(kAddress, 0, buffer.data(), buffer.size(), &received);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(received, 99u);
    }
}

TEST_F(FactoryData, MissingRepliesTimeOutAfterOneSecond) {
    struct Case {
        const char* what;
        const char* fault;
        bool write;
    };
    const std::vector<Case> cases = {
        {"write packet", "fault factory silent 1", true},
        {"write end packet", "fault factory silent 3", true},
        {"read", "fault factory silent 0", false},
        {"read end packet", "fault factory silent 2", false},
    };
    const Bytes data = testsupport::steppedBytes(60, 2, 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(sim.control(c.fault), "ok");
        Bytes buffer(100);
        size_t received = 0;
        const auto start = std::chrono::steady_clock::now();
        const aErr result = c.write ? link->setFactoryData(kAddress, 6, data.data(), data.size())
                                    : link->getFactoryData(kAddress, 1, buffer.data(), buffer.size(), &received);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(result, aErrTimeout);
        EXPECT_GE(waited, std::chrono::milliseconds(1000));
        // Room for a loaded machine; still short of a second wait.
        EXPECT_LT(waited, std::chrono::milliseconds(2900));
    }
}

TEST_F(FactoryData, ChecksBeforeAnyInputOrOutput) {
    sim.mark();
    uint8_t buffer[4] = {};
    size_t received = 0;
    EXPECT_EQ(link->getFactoryData(kAddress, 0, nullptr, 4, &received), aErrParam);
    EXPECT_EQ(link->getFactoryData(kAddress, 0, buffer, 4, nullptr), aErrParam);
    EXPECT_EQ(link->setFactoryData(kAddress, 0, nullptr, 4), aErrParam);
    // The end packet counts in 16 bits.
    const Bytes tooLong(0x10000);
    EXPECT_EQ(link->setFactoryData(kAddress, 0, tooLong.data(), tooLong.size()), aErrSize);
    EXPECT_TRUE(sim.received().empty());

    Link idle("idle");
    EXPECT_EQ(idle.getFactoryData(kAddress, 0, buffer, 4, &received), aErrConnection);
    EXPECT_EQ(idle.setFactoryData(kAddress, 0, buffer, 4), aErrConnection);
}

}  // namespace
