// The simulated module's random replies, seen over raw TCP: replies late by their draw
// still leave in the order of their requests, lost replies still take effect, refused
// enables enable nothing, the same seed gives the same fates, and the values of many
// hosts (command 0x12) keep apart by index.
#include <gtest/gtest.h>

#include <unistd.h>

#include "byte_io.h"
#include "modsim_process.h"
#include "process.h"
#include "raw_packets.h"
#include "tempdir.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::hexText;
using testsupport::ModsimProcess;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kAddress = 6;

class ModsimRandomReplies : public ::testing::Test {
protected:
    void start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--tcp", "127.0.0.5:0", "--address", "6", "--stream-ms", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<ModsimProcess>(dir.path(), args);
        ASSERT_TRUE(sim->ready());
        host = testsupport::connectTcp("127.0.0.5", sim->tcpPort());
        ASSERT_GE(host, 0);
        ASSERT_TRUE(sim->waitForLog("ev connect"));
    }
    void TearDown() override {
        if (host >= 0) close(host);
    }

    void send(const Bytes& data) const { ASSERT_TRUE(testsupport::sendPacket(host, kAddress, data)); }
    // The data of the next packet, or "none" when nothing comes within `limit`.
    std::string next(std::chrono::milliseconds limit = 2s) const {
        const auto packet = testsupport::readPacket(host, limit);
        return packet ? hexText(packet->data) : "none";
    }
    // Which of `count` echo requests [0x17, n] are answered, in the order the answers came.
    std::vector<int> echoesAnswered(int count) const {
        for (int n = 0; n < count; ++n) send({0x17, static_cast<uint8_t>(n)});
        std::vector<int> answered;
        for (int n = 0; n < count; ++n) {
            const auto packet = testsupport::readPacket(host, 500ms);
            if (!packet) break;
            answered.push_back(packet->data.size() == 2 ? packet->data[1] : -1);
        }
        return answered;
    }

    testsupport::TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    int host = -1;
};

TEST_F(ModsimRandomReplies, JitteredRepliesLeaveInTheOrderOfTheirRequests) {
    start({"--random-replies", "seed=3,jitter=40"});
    const std::vector<int> answered = echoesAnswered(40);
    std::vector<int> all;
    for (int n = 0; n < 40; ++n) all.push_back(n);
    EXPECT_EQ(answered, all);
}

TEST_F(ModsimRandomReplies, SlowAndLateRepliesLeavePastTheirWaits) {
    start();
    struct Case {
        const char* spec;
        long lowMs;
        long highMs;
    };
    for (const Case& draw : {Case{"slow=100", 1000, 1600}, Case{"late=100", 2100, 3000}}) {
        SCOPED_TRACE(draw.spec);
        ASSERT_EQ(sim->control(std::string("random-replies ") + draw.spec).rfind("ok ", 0), 0u);
        const auto sent = Clock::now();
        send({0x17, 0x01});
        EXPECT_EQ(next(5s), "17 01");
        const long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
        EXPECT_GE(took, draw.lowMs);
        // The reply may be read late on a loaded machine, never early.
        EXPECT_LE(took, draw.highMs + 1500);
    }
    // A reply that is due at once still waits for the late one before it.
    ASSERT_EQ(sim->control("random-replies seed=1,late=100"), "ok seed=1,jitter=5,slow=0,late=100,drop=0,late-long=0,refuse=0");
    send({0x17, 0x02});
    ASSERT_EQ(sim->control("random-replies off"), "ok off");
    send({0x17, 0x03});
    EXPECT_EQ(next(5s), "17 02");
    EXPECT_EQ(next(), "17 03");
}

TEST_F(ModsimRandomReplies, LostRepliesStillTakeEffect) {
    start({"--random-replies", "drop=100"});
    send({0x12, 0x83, 0x27, 0xCA, 0xFE, 0xF0, 0x0D});
    EXPECT_EQ(next(500ms), "none");
    EXPECT_TRUE(sim->waitForLog("ev module 0x06 random reply dropped: 12 C3 07"));
    ASSERT_EQ(sim->control("random-replies off"), "ok off");
    send({0x12, 0x43, 0x27});
    EXPECT_EQ(next(), "12 03 07 CA FE F0 0D");
}

TEST_F(ModsimRandomReplies, RefusedEnablesEnableNothing) {
    start({"--random-replies", "refuse=100,drop=100,calm-streams"});
    send({0x5D, 0x81, 0x20, kAddress, 0x10, 0x01, 0x00});
    EXPECT_EQ(next(), "5D C1 80 1E");
    EXPECT_EQ(sim->control("streams"), "ok");
    ASSERT_EQ(sim->control("random-replies refuse=0,drop=100,calm-streams").rfind("ok ", 0), 0u);
    // Calm streams: the enable is answered although every other reply is lost.
    send({0x17, 0x05});
    send({0x5D, 0x81, 0x20, kAddress, 0x10, 0x07, 0x00});
    EXPECT_EQ(next(), "5D C1 00");
    send({0x5D, 0x81, 0x20, kAddress, 0x10, 0x01, 0x00});
    EXPECT_EQ(next(), "5D C1 00");
    EXPECT_EQ(sim->control("streams"), "ok 10.07.00 10.01.00");
    send({0x5D, 0x82, 0x20, kAddress, 0x10, 0x07, 0x00});
    EXPECT_EQ(next(), "5D C2 00");
    EXPECT_EQ(sim->control("streams"), "ok 10.01.00");
}

TEST_F(ModsimRandomReplies, TheSameSeedGivesTheSameFates) {
    start();
    std::vector<std::vector<int>> runs;
    for (int run = 0; run < 3; ++run) {
        const char* spec = run < 2 ? "random-replies seed=11,drop=50" : "random-replies seed=12,drop=50";
        ASSERT_EQ(sim->control(spec).rfind("ok ", 0), 0u);
        runs.push_back(echoesAnswered(30));
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_NE(runs[0], runs[2]);
    EXPECT_GT(runs[0].size(), 5u);
    EXPECT_LT(runs[0].size(), 25u);
}

TEST_F(ModsimRandomReplies, HostsKeepTheirValuesApartByIndex) {
    start();
    const struct {
        Bytes request;
        const char* reply;
    } exchanges[] = {
        {{0x12, 0x82, 0x23, 0x12, 0x34}, "12 C2 03"},
        {{0x12, 0x42, 0x23}, "12 02 03 12 34"},
        {{0x12, 0x42, 0x24}, "12 02 04 00 00"},
        {{0x12, 0x41, 0x3F}, "12 01 1F 00"},
        {{0x12, 0x44, 0x20}, "12 04 80 1D"},
    };
    for (const auto& exchange : exchanges) {
        SCOPED_TRACE(hexText(exchange.request));
        send(exchange.request);
        EXPECT_EQ(next(), exchange.reply);
    }
    // A byte string of three chunks, read back in three.
    Bytes text;
    for (int i = 0; i < 60; ++i) text.push_back(static_cast<uint8_t>(0x30 + i));
    for (int chunk = 0; chunk < 3; ++chunk) {
        Bytes data{0x12, 0x85, 0x29};
        for (int i = chunk * 24; i < std::min(60, chunk * 24 + 24); ++i) data.push_back(text[static_cast<size_t>(i)]);
        data.push_back(static_cast<uint8_t>(chunk | (chunk < 2 ? 0x80 : 0)));
        send(data);
    }
    EXPECT_EQ(next(), "12 C5 09");
    send({0x12, 0x45, 0x29});
    Bytes back;
    for (int chunk = 0; chunk < 3; ++chunk) {
        const auto packet = testsupport::readPacket(host, 2s);
        ASSERT_TRUE(packet);
        ASSERT_GE(packet->data.size(), 4u);
        EXPECT_EQ(hexText({packet->data[0], packet->data[1], packet->data[2]}), "12 05 09");
        EXPECT_EQ(packet->data.back(), chunk | (chunk < 2 ? 0x80 : 0));
        back.insert(back.end(), packet->data.begin() + 3, packet->data.end() - 1);
    }
    EXPECT_EQ(back, text);
}

TEST_F(ModsimRandomReplies, LongRepliesAloneLeaveLateWhenDrawn) {
    start({"--random-replies", "late-long=100"});
    for (const int length : {24, 25}) {
        SCOPED_TRACE(length);
        Bytes data{0x12, 0x85, 0x21};
        for (int i = 0; i < std::min(length, 24); ++i) data.push_back(static_cast<uint8_t>(i));
        data.push_back(length > 24 ? 0x80 : 0x00);
        send(data);
        if (length > 24) send({0x12, 0x85, 0x21, 0x18, 0x01});
        EXPECT_EQ(next(), "12 C5 01");
        const auto sent = Clock::now();
        send({0x12, 0x45, 0x21});
        const int chunks = length > 24 ? 2 : 1;
        for (int chunk = 0; chunk < chunks; ++chunk) ASSERT_NE(next(5s), "none");
        const long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
        if (length > 24)
            EXPECT_GE(took, 2100);
        else
            EXPECT_LT(took, 1000);
    }
}

TEST(ModsimRandomRepliesOptions, RefusesBadSpecs) {
    for (const char* spec : {"slow=101", "late-long=x", "seed=x", "late=60,drop=50", "jitter=-1", "refuse", "bogus=1", ""}) {
        SCOPED_TRACE(spec);
        const auto result = testsupport::runProcess(
            {ModsimProcess::binary(), "--tcp", "127.0.0.5:0", "--random-replies", spec}, 10s);
        EXPECT_EQ(result.exitCode, 2);
    }
}

}  // namespace
