// The simulated router over raw TCP: it answers for every module on its I2C network at
// that module's address, acknowledges the I2C probe only where a module sits, and takes
// routeToMe.
#include <gtest/gtest.h>

#include <unistd.h>

#include "byte_io.h"
#include "modsim_process.h"
#include "raw_packets.h"
#include "tempdir.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::hexText;
using testsupport::ModsimProcess;

namespace {

constexpr uint8_t kRouter = 2;

class ModsimRouter : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--tcp", "127.0.0.3:0", "--address", "2", "--serial", "AAAA0001", "--model", "7",
                                     "--build", "500", "--router-module", "4:0B0B0004:9:1111:01020003",
                                     "--router-module", "0x08:C0C0008:10:2222"});
        ASSERT_TRUE(sim->ready());
        host = testsupport::connectTcp("127.0.0.3", sim->tcpPort());
        ASSERT_GE(host, 0);
    }
    void TearDown() override {
        if (host >= 0) close(host);
    }

    // The reply's wire form, or "" when nothing came back.
    std::string exchange(uint8_t address, const Bytes& data, std::chrono::milliseconds limit = 2s) {
        const auto reply = testsupport::exchangePacket(host, address, data, limit);
        return reply ? hexText(testsupport::packetWire(reply->address, reply->data)) : "";
    }

    testsupport::TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    int host = -1;
};

struct Exchange {
    const char* what;
    uint8_t address;
    Bytes request;
    const char* reply;
};

TEST_F(ModsimRouter, AnswersEachModuleAddressAsThatModule) {
    const Exchange exchanges[] = {
        {"address probe: the router", 0xAD, {}, "02 00"},
        {"router serial", kRouter, {0x03, 0x49, 0x20}, "02 07 03 09 00 AA AA 00 01"},
        {"router build", kRouter, {0x49, 0xFF}, "02 06 49 FF 00 00 01 F4"},
        {"module 4 serial", 4, {0x03, 0x49, 0x20}, "04 07 03 09 00 0B 0B 00 04"},
        {"module 4 model", 4, {0x03, 0x48, 0x20}, "04 04 03 08 00 09"},
        {"module 4 own address", 4, {0x03, 0x41, 0x20}, "04 04 03 01 00 04"},
        {"module 4 router address", 4, {0x03, 0x42, 0x20}, "04 04 03 02 00 02"},
        {"module 4 version", 4, {0x03, 0x47, 0x20}, "04 07 03 07 00 01 02 00 03"},
        {"module 4 build", 4, {0x49, 0xFF}, "04 06 49 FF 00 00 04 57"},
        {"module 8 serial", 8, {0x03, 0x49, 0x20}, "08 07 03 09 00 0C 0C 00 08"},
        {"module 8 build", 8, {0x49, 0xFF}, "08 06 49 FF 00 00 08 AE"},
        {"module 8 echo", 8, {0x17, 0x01, 0x02}, "08 03 17 01 02"},
        {"module 8 unknown option", 8, {0x03, 0x45, 0x20}, "08 04 03 05 80 1D"},
        {"routeToMe on", kRouter, {0x03, 0x94, 0x20, 0x01}, "02 03 03 D4 00"},
        {"routeToMe off", kRouter, {0x03, 0x94, 0x20, 0x00}, "02 03 03 D4 00"},
    };
    for (const auto& e : exchanges) {
        SCOPED_TRACE(e.what);
        EXPECT_EQ(exchange(e.address, e.request), e.reply);
    }
    // Nothing sits at address 6: no answer comes, whoever asks.
    EXPECT_EQ(exchange(6, {0x03, 0x49, 0x20}, 150ms), "");
    EXPECT_EQ(sim->countInLog("ev not for this module: address 0x06"), 1u);
    EXPECT_EQ(sim->countInLog("ev uei set 3.20.0.0"), 2u);
}

TEST_F(ModsimRouter, SweepsTheNetworkInMillisecondsAcknowledgingOnlyOccupiedAddresses) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<int> acknowledged;
    for (int address = 4; address <= 252; address += 2) {
        const auto a = static_cast<uint8_t>(address);
        const auto reply = testsupport::exchangePacket(host, kRouter, {0x08, 0x00, a, 0x02, 0x03, 0x00, 0x00});
        ASSERT_TRUE(reply) << address;
        ASSERT_EQ(reply->data.size(), 5u) << address;
        EXPECT_EQ(hexText(Bytes(reply->data.begin(), reply->data.begin() + 4)), hexText({0x08, 0x00, a, 0x00}));
        if (reply->data[4] == 0) {
            acknowledged.push_back(address);
        } else {
            EXPECT_EQ(reply->data[4], 0x83) << address;
        }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(acknowledged, (std::vector<int>{4, 8}));
    EXPECT_LT(elapsed, 2s);
    EXPECT_EQ(sim->countInLog("ev i2c write 0x04 ack"), 1u);
    EXPECT_EQ(sim->countInLog("ev i2c write 0x06 refused"), 1u);
}

TEST_F(ModsimRouter, AnswersI2CReadsAndPullupAndRefusesMalformedTransfers) {
    const Exchange exchanges[] = {
        {"read from a module", kRouter, {0x08, 0x00, 0x05, 0x03, 0x00}, "02 08 08 00 05 03 00 00 00 00"},
        {"read from an empty address", kRouter, {0x08, 0x00, 0x07, 0x03, 0x00}, "02 05 08 00 07 00 83"},
        {"pullup on", kRouter, {0x08, 0x00, 0x01, 0x01}, "02 05 08 00 01 01 00"},
        {"write shorter than its length", kRouter, {0x08, 0x00, 0x04, 0x03, 0x00, 0x01}, "02 05 08 00 04 00 98"},
        {"another bus index", kRouter, {0x08, 0x01, 0x04, 0x00, 0x00}, "02 05 08 01 04 00 9C"},
    };
    for (const auto& e : exchanges) {
        SCOPED_TRACE(e.what);
        EXPECT_EQ(exchange(e.address, e.request), e.reply);
    }
}

TEST(ModsimRouterCommandLine, RefusesRoutedModulesItCannotPlace) {
    const std::vector<std::vector<std::string>> bad{
        {"--router-module", "4:1:2:3:4:5"},
        {"--router-module", "5:1:2"},
        {"--router-module", "4:xyz:2"},
        {"--router-module", "2:1:2"},
        {"--router-module", "4:1:2", "--router-module", "4:3:2"},
        {"--load-way", "later"},
        {"--piece-size", "0"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{ModsimProcess::binary(), "--pty"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = testsupport::runProcess(argv, 5s);
        SCOPED_TRACE(args[1]);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find("usage: modsim"), std::string::npos);
    }
}

}  // namespace
