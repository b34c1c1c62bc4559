// Faults on command, per module address, seen over raw TCP: error replies, replies that never
// come, come late or with the wrong length, byte strings out of sequence, refused connections
// and probes, and the reset call dropping the link as the module restarts.
#include <gtest/gtest.h>

#include <thread>
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

using Clock = std::chrono::steady_clock;
constexpr uint8_t kRouter = 2;
constexpr uint8_t kRouted = 4;
const Bytes kGetSerial{0x03, 0x49, 0x20};

class ModsimFaults : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(
            dir.path(),
            std::vector<std::string>{"--tcp", "127.0.0.4:0", "--address", "2", "--serial", "AAAA0001", "--name", "sim",
                                     "--restart-ms", "300", "--router-module", "4:0B0B0004:9"});
        ASSERT_TRUE(sim->ready());
        host = connect();
        ASSERT_GE(host, 0);
        ASSERT_TRUE(sim->waitForLog("ev connect"));
    }
    void TearDown() override {
        if (host >= 0) close(host);
    }

    int connect() const { return testsupport::connectTcp("127.0.0.4", sim->tcpPort()); }

    // The reply's wire form, or "" when nothing came back within `limit`.
    std::string exchange(uint8_t address, const Bytes& data, std::chrono::milliseconds limit = 2s) const {
        const auto reply = testsupport::exchangePacket(host, address, data, limit);
        return reply ? hexText(testsupport::packetWire(reply->address, reply->data)) : "";
    }

    testsupport::TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    int host = -1;
};

struct ArmedFault {
    const char* command;
    uint8_t address;
    Bytes request;
    const char* faulty;  // the reply while the fault acts ("" for none within 300 ms)
    const char* normal;  // the same request's reply once the fault is spent
};

TEST_F(ModsimFaults, ArmedFaultsShapeOneReplyOfTheirModuleOnly) {
    const ArmedFault faults[] = {
        {"fault error 13 4", kRouted, kGetSerial, "04 04 03 09 80 0D", "04 07 03 09 00 0B 0B 00 04"},
        {"fault error 30", kRouter, {0x03, 0x84, 0x20, 0x01}, "02 04 03 C4 80 1E", "02 03 03 C4 00"},
        {"fault no-reply 4", kRouted, kGetSerial, "", "04 07 03 09 00 0B 0B 00 04"},
        {"fault no-reply 0x04", kRouted, {0x49, 0xFF}, "", "04 06 49 FF 00 00 00 00"},
        {"fault length 4", kRouted, kGetSerial, "04 08 03 09 00 0B 0B 00 04 00", "04 07 03 09 00 0B 0B 00 04"},
        {"fault length 2", kRouter, {0x49, 0xFF}, "02 07 49 FF 00 00 00 00 00", "02 06 49 FF 00 00 00 00"},
        {"fault chunk-sequence",
         kRouter,
         {0x03, 0x60, 0x20},
         "02 07 03 20 00 73 69 6D 01",
         "02 07 03 20 00 73 69 6D 00"},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.command);
        ASSERT_EQ(sim->control(f.command), "ok");
        // The other module is untouched by a fault armed for this one.
        const uint8_t other = f.address == kRouter ? kRouted : kRouter;
        EXPECT_EQ(exchange(other, {0x03, 0x41, 0x20}), hexText({other, 0x04, 0x03, 0x01, 0x00, other}));
        EXPECT_EQ(exchange(f.address, f.request, 300ms), f.faulty);
        EXPECT_EQ(exchange(f.address, f.request), f.normal);
    }
}

TEST_F(ModsimFaults, DelaysAReplyByTheGivenTimeAndKeepsItsChunksInOrder) {
    ASSERT_EQ(sim->control("fault delay 300 2"), "ok");
    const auto start = Clock::now();
    ASSERT_TRUE(testsupport::sendPacket(host, kRouter, {0x03, 0x60, 0x20}));
    EXPECT_FALSE(testsupport::readPacket(host, 150ms));
    const auto reply = testsupport::readPacket(host, 2s);
    ASSERT_TRUE(reply);
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_EQ(hexText(reply->data), "03 20 00 73 69 6D 00");
    EXPECT_EQ(exchange(kRouter, kGetSerial, 200ms), "02 07 03 09 00 AA AA 00 01");
}

TEST_F(ModsimFaults, RefusesNewConnectionsWhileTheFaultIsOn) {
    ASSERT_EQ(sim->control("fault refuse on"), "ok");
    const int refused = connect();
    ASSERT_GE(refused, 0);
    EXPECT_TRUE(testsupport::waitForClose(refused, 1s));
    close(refused);
    EXPECT_EQ(sim->countInLog("ev connect refused (fault refuse)"), 1u);
    ASSERT_EQ(sim->control("fault refuse off"), "ok");
    const int taken = connect();
    ASSERT_GE(taken, 0);
    const auto probe = testsupport::exchangePacket(taken, 0xAD, {});
    close(taken);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->address, kRouter);
}

TEST_F(ModsimFaults, ARefusingRoutedModuleAcknowledgesItsProbeAndAnswersNothingElse) {
    ASSERT_EQ(sim->control("fault refuse on 4"), "ok");
    EXPECT_EQ(exchange(kRouter, {0x08, 0x00, kRouted, 0x02, 0x03, 0x00, 0x00}), "02 05 08 00 04 00 00");
    EXPECT_EQ(exchange(kRouted, kGetSerial, 300ms), "");
    ASSERT_EQ(sim->control("fault refuse off 4"), "ok");
    EXPECT_EQ(exchange(kRouted, kGetSerial), "04 07 03 09 00 0B 0B 00 04");
}

TEST_F(ModsimFaults, RefusesTheAddressProbeButAnswersValueRequests) {
    ASSERT_EQ(sim->control("fault no-probe on"), "ok");
    EXPECT_EQ(exchange(0xAD, {}, 300ms), "");
    EXPECT_EQ(exchange(kRouter, kGetSerial), "02 07 03 09 00 AA AA 00 01");
    ASSERT_EQ(sim->control("fault no-probe off"), "ok");
    EXPECT_EQ(exchange(0xAD, {}), "02 00");
}

// Error replies cut as firmware cuts them, for one counted request of the store, factory
// and stream commands of the connected module (or a stream request lost, unanswered);
// the next request is answered normally.
TEST_F(ModsimFaults, CountedErrorRepliesTakeTheShapeAsked) {
    const Bytes capacity{0x04, 0x01, 0x00, 0x00};
    // Sub-command 2 holds an empty block: its read is answered by one short reply.
    const Bytes factoryRead{0x5E, 0x42};
    const Bytes enable{0x5D, 0x81, 0x20, kRouter, 0x10, 0x01, 0x00};
    const ArmedFault faults[] = {
        {"fault slot error 0 0", kRouter, capacity, "02 05 04 81 00 00 00", "02 06 04 01 00 00 04 00"},
        {"fault slot error-short 0", kRouter, capacity, "02 04 04 81 00 00", "02 06 04 01 00 00 04 00"},
        {"fault slot error-long 0 21", kRouter, capacity, "02 06 04 81 00 00 15 00", "02 06 04 01 00 00 04 00"},
        {"fault slot error-short 0", kRouter, {0x04, 0x06, 0x09}, "02 03 04 86 09", "02 04 04 86 09 02"},
        {"fault factory error 0 0", kRouter, factoryRead, "02 03 5E 82 00", "02 02 5E 02"},
        {"fault factory error-short 0", kRouter, factoryRead, "02 02 5E 82", "02 02 5E 02"},
        {"fault factory error-long 0 9", kRouter, factoryRead, "02 04 5E 82 09 00", "02 02 5E 02"},
        {"fault stream error 0 0", kRouter, enable, "02 04 5D C1 80 00", "02 03 5D C1 00"},
        {"fault stream error-short 0", kRouter, enable, "02 03 5D C1 80", "02 03 5D C1 00"},
        {"fault stream error-long 0 29", kRouter, enable, "02 05 5D C1 80 1D 00", "02 03 5D C1 00"},
        {"fault stream lost 0", kRouter, enable, "", "02 03 5D C1 00"},
    };
    // The enables that succeed start the value streaming; samples sent on a timer would
    // come before a reply whenever the machine is slow, so rounds go only on stream-send.
    ASSERT_EQ(sim->control("stream-rate 0"), "ok");
    for (const auto& f : faults) {
        SCOPED_TRACE(f.command);
        ASSERT_EQ(sim->control(f.command), "ok");
        EXPECT_EQ(exchange(f.address, f.request, 300ms), f.faulty);
        EXPECT_EQ(exchange(f.address, f.request), f.normal);
    }
}

TEST_F(ModsimFaults, WithholdsOnlyTheCloseItIsToldTo) {
    const std::string opened = exchange(kRouter, {0x04, 0x04, 0x00, 0x01});
    ASSERT_EQ(opened.substr(0, 15), "02 05 04 04 00 ");
    const uint8_t handle = static_cast<uint8_t>(std::stoi(opened.substr(15), nullptr, 16));
    ASSERT_EQ(sim->control("fault slot no-close 0"), "ok");
    // Other store requests meanwhile are answered; the close is not.
    EXPECT_EQ(exchange(kRouter, {0x04, 0x07, handle, 0x05}), hexText({kRouter, 0x04, 0x04, 0x07, handle, 0x05}));
    EXPECT_EQ(exchange(kRouter, {0x04, 0x08, handle}, 300ms), "");
    EXPECT_EQ(sim->countInLog("ev module 0x02 slot close handle " + std::to_string(handle) + " 1 bytes"), 1u);
}

TEST_F(ModsimFaults, RefusesFaultsItCannotPlace) {
    for (const char* command :
         {"fault error 0", "fault error 13 6", "fault delay", "fault no-reply 4 5", "fault refuse maybe",
          "fault loader sum 7", "fault loader drop-after x", "fault loader refuse", "fault loader later",
          "load-way soon", "update-to 4", "dump", "module 9", "fault slot error-short 0 5", "fault slot no-close",
          "fault stream error 0", "fault stream refuse 0", "fault factory error-long 0 256"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(sim->control(command).rfind("error ", 0), 0u);
    }
}

TEST_F(ModsimFaults, ResetCallAcknowledgesThenResetsTheLinkAndListensAgainAfterAMoment) {
    EXPECT_EQ(exchange(kRouter, {0x03, 0x8B, 0x20}), "02 03 03 CB 00");
    EXPECT_TRUE(testsupport::waitForReset(host, 1s));
    EXPECT_EQ(connect(), -1);
    int again = -1;
    for (int attempt = 0; attempt < 100 && again < 0; ++attempt) {
        std::this_thread::sleep_for(20ms);
        again = connect();
    }
    ASSERT_GE(again, 0);
    close(host);
    host = again;
    EXPECT_EQ(exchange(0xAD, {}), "02 00");
    EXPECT_TRUE(sim->waitForLog("ev listening again"));
}

TEST_F(ModsimFaults, ResetOfARoutedModuleKeepsTheRoutersLink) {
    EXPECT_EQ(exchange(kRouted, {0x03, 0x8B, 0x20}), "04 03 03 CB 00");
    EXPECT_EQ(exchange(kRouted, kGetSerial), "04 07 03 09 00 0B 0B 00 04");
    EXPECT_EQ(sim->countInLog("ev module 0x04 reset"), 1u);
}

}  // namespace
