// The simulated module as a host meets it over a raw TCP socket on its own loopback address
// (and over a Unix socket): sync answers, route control, heartbeats, faults, and the control channel.
#include <gtest/gtest.h>

#include <unistd.h>

#include "byte_io.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::hexText;
using testsupport::ModsimProcess;
using testsupport::readBytes;
using testsupport::readFor;
using testsupport::writeBytes;

namespace {

const Bytes kSyncQuery{0xAD, 0x00};

Bytes repeated(const Bytes& bytes, int times) {
    Bytes all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), bytes.begin(), bytes.end());
    return all;
}

// A simulator on 127.0.0.2 at module address 4 and one host connection to it.
class ModsimTcp : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<ModsimProcess>(dir.path(),
                                              std::vector<std::string>{"--tcp", "127.0.0.2:0", "--address", "4"});
        ASSERT_TRUE(sim->ready());
        ASSERT_EQ(sim->where().rfind("tcp 127.0.0.2:", 0), 0u) << sim->where();
        host = testsupport::connectTcp("127.0.0.2", sim->tcpPort());
        ASSERT_GE(host, 0);
        ASSERT_TRUE(sim->waitForLog("ev connect"));
    }
    void TearDown() override {
        if (host >= 0) close(host);
    }

    testsupport::TempDir dir;
    std::unique_ptr<ModsimProcess> sim;
    int host = -1;
};

TEST_F(ModsimTcp, AnswersEachSyncQueryOnceFromItsEvenAddress) {
    ASSERT_TRUE(writeBytes(host, repeated(kSyncQuery, 6)));
    EXPECT_EQ(readBytes(host, 12), repeated(Bytes{0x04, 0x00}, 6));
    EXPECT_TRUE(readFor(host, 200ms).empty());
    EXPECT_EQ(sim->countInLog("rx AD 00"), 6u);
    EXPECT_EQ(sim->countInLog("tx 04 00"), 6u);
}

TEST_F(ModsimTcp, AssemblesPacketsWhateverTheWritesAndSkipsFramingErrors) {
    // A zero address byte and an oversized length are framing errors; the queries after them count.
    const std::vector<Bytes> writes{{0xAD}, {0x00, 0x00}, {0xAD, 0x1D}, {0xAD}, {0x00}};
    for (const auto& bytes : writes) {
        ASSERT_TRUE(writeBytes(host, bytes));
        usleep(20000);
    }
    EXPECT_EQ(readBytes(host, 4), repeated(Bytes{0x04, 0x00}, 2));
    EXPECT_TRUE(readFor(host, 100ms).empty());
    EXPECT_EQ(sim->countInLog("ev framing error at byte 00"), 1u);
    EXPECT_EQ(sim->countInLog("ev framing error at byte 1D"), 1u);
}

TEST_F(ModsimTcp, TakesRouteControlSilentlyAndLogsIt) {
    ASSERT_TRUE(writeBytes(host, {0xAF, 0x01, 0x01, 0xAF, 0x01, 0x00, 0xAD, 0x00}));
    // Answers keep their order, so the sync answer alone shows route control got none.
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x04, 0x00}));
    EXPECT_TRUE(readFor(host, 200ms).empty());
    const std::vector<std::string> expected{"ev connect",   "rx AF 01 01", "ev route on", "rx AF 01 00",
                                            "ev route off", "rx AD 00",    "tx 04 00"};
    EXPECT_EQ(sim->logLines(), expected);
    EXPECT_NE(sim->control("status").find(" route=0 "), std::string::npos);
}

TEST_F(ModsimTcp, IgnoresPacketsForOtherAddressesAndUnknownCommands) {
    ASSERT_TRUE(writeBytes(host, {0x06, 0x01, 0x49, 0x04, 0x01, 0x7E, 0x04, 0x00, 0xAD, 0x00}));
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x04, 0x00}));
    EXPECT_TRUE(readFor(host, 100ms).empty());
    EXPECT_EQ(sim->countInLog("ev not for this module: address 0x06"), 1u);
    EXPECT_EQ(sim->countInLog("ev unhandled command 0x7E"), 1u);
    EXPECT_EQ(sim->countInLog("ev empty packet to this module"), 1u);
}

struct HeartbeatCase {
    int n;
    uint8_t answer;
    bool accepted;
};

TEST(ModsimHeartbeat, SendsOnCommandAndChecksTheAnswerIsNPlusTwo) {
    const HeartbeatCase cases[] = {
        {0, 0x02, true}, {1, 0x03, true}, {0xFE, 0x00, true}, {5, 0x06, false}, {5, 0x05, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n) + " answer=" + std::to_string(c.answer));
        testsupport::TempDir dir;
        ModsimProcess sim(dir.path(), {"--tcp", "127.0.0.2:0", "--address", "8"});
        const int host = testsupport::connectTcp("127.0.0.2", sim.tcpPort());
        ASSERT_GE(host, 0);
        ASSERT_TRUE(sim.waitForLog("ev connect"));
        ASSERT_EQ(sim.control("heartbeat " + std::to_string(c.n)), "ok");
        EXPECT_EQ(readBytes(host, 4), (Bytes{0x08, 0x02, 0x00, static_cast<uint8_t>(c.n)}));
        ASSERT_TRUE(writeBytes(host, {0x08, 0x02, 0x00, c.answer}));
        const std::string answer = sim.control("heartbeat-wait 300");
        if (c.accepted) {
            EXPECT_EQ(answer, "ok hb-sent=1 hb-answered=1 hb-wrong=0 hb-pending=0");
            EXPECT_EQ(sim.countInLog("ev heartbeat answer ok " + std::to_string(c.answer)), 1u);
        } else {
            EXPECT_EQ(answer, "error timeout hb-sent=1 hb-answered=0 hb-wrong=1 hb-pending=1");
            EXPECT_EQ(sim.countInLog("ev heartbeat answer wrong " + std::to_string(c.answer)), 1u);
        }
        close(host);
    }
}

TEST_F(ModsimTcp, HeartbeatWaitTimesOutWithoutAnAnswerAndLaterCommandsWaitTheirTurn) {
    ASSERT_EQ(sim->control("heartbeat 9"), "ok");
    ASSERT_EQ(readBytes(host, 4), (Bytes{0x04, 0x02, 0x00, 0x09}));
    const int control = testsupport::connectUnix(dir.file("modsim.ctl"));
    ASSERT_GE(control, 0);
    const std::string lines = "heartbeat-wait 2000\nstatus\n";
    ASSERT_TRUE(writeBytes(control, Bytes(lines.begin(), lines.end())));
    EXPECT_TRUE(readFor(control, 100ms).empty());
    ASSERT_TRUE(writeBytes(host, {0x04, 0x02, 0x00, 0x0B}));
    const Bytes got = readFor(control, 300ms);
    close(control);
    const std::string text(got.begin(), got.end());
    EXPECT_EQ(text.find("ok hb-sent=1 hb-answered=1"), 0u) << text;
    EXPECT_NE(text.find("\nok connected=1 silent=0 route=-1"), std::string::npos) << text;
}

struct FaultCase {
    const char* command;
    Bytes written;
    const char* event;
};

TEST_F(ModsimTcp, InjectsFramingAndPartialPacketFaults) {
    const FaultCase cases[] = {
        {"fault framing", {0x05}, "ev fault framing odd"},
        {"fault framing odd", {0x05}, "ev fault framing odd"},
        {"fault framing zero", {0x00}, "ev fault framing zero"},
        {"fault partial", {0x04, 0x04, 0x01}, "ev fault partial"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const std::size_t eventsBefore = sim->countInLog(c.event);
        ASSERT_EQ(sim->control(c.command), "ok");
        EXPECT_EQ(readFor(host, 150ms), c.written);
        EXPECT_EQ(sim->countInLog(c.event), eventsBefore + 1);
        EXPECT_GE(sim->countInLog("tx " + hexText(c.written)), 1u);
    }
    // The module itself keeps answering; resynchronising is the host's business.
    ASSERT_TRUE(writeBytes(host, kSyncQuery));
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x04, 0x00}));
}

TEST_F(ModsimTcp, StaysSilentOnCommandButKeepsLogging) {
    ASSERT_EQ(sim->control("fault silence on"), "ok");
    ASSERT_TRUE(writeBytes(host, repeated(kSyncQuery, 3)));
    EXPECT_TRUE(readFor(host, 300ms).empty());
    EXPECT_EQ(sim->countInLog("rx AD 00"), 3u);
    EXPECT_EQ(sim->countInLog("tx 04 00"), 0u);
    ASSERT_EQ(sim->control("fault silence off"), "ok");
    ASSERT_TRUE(writeBytes(host, kSyncQuery));
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x04, 0x00}));
}

TEST_F(ModsimTcp, DropsTheConnectionOnCommandAndAcceptsTheNextHost) {
    ASSERT_EQ(sim->control("drop"), "ok");
    EXPECT_TRUE(testsupport::waitForClose(host));
    EXPECT_EQ(sim->countInLog("ev disconnect dropped"), 1u);
    EXPECT_EQ(sim->control("drop"), "error not connected");
    EXPECT_EQ(sim->control("heartbeat"), "error not connected");

    close(host);
    host = testsupport::connectTcp("127.0.0.2", sim->tcpPort());
    ASSERT_GE(host, 0);
    ASSERT_TRUE(writeBytes(host, kSyncQuery));
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x04, 0x00}));
}

TEST_F(ModsimTcp, NewestHostConnectionReplacesTheOld) {
    const int second = testsupport::connectTcp("127.0.0.2", sim->tcpPort());
    ASSERT_GE(second, 0);
    EXPECT_TRUE(testsupport::waitForClose(host));
    ASSERT_TRUE(writeBytes(second, kSyncQuery));
    EXPECT_EQ(readBytes(second, 2), (Bytes{0x04, 0x00}));
    EXPECT_EQ(sim->countInLog("ev disconnect replaced"), 1u);
    close(second);
}

TEST_F(ModsimTcp, RefusesMalformedControlCommands) {
    for (const char* command : {"bogus", "heartbeat 256", "heartbeat x", "heartbeat-wait -1", "fault",
                                "fault framing even", "fault partial more", "fault silence maybe", "drop now"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(sim->control(command).rfind("error ", 0), 0u);
    }
    EXPECT_EQ(sim->control("quit"), "ok");
    EXPECT_TRUE(testsupport::waitForClose(host));
    EXPECT_EQ(sim->stop(), 0);
}

TEST(ModsimUnix, ServesAHostOnAUnixSocket) {
    testsupport::TempDir dir;
    const std::string path = dir.file("module.sock");
    ModsimProcess sim(dir.path(), {"--unix", path, "--address", "0x10"});
    ASSERT_EQ(sim.where(), "unix " + path);
    const int host = testsupport::connectUnix(path);
    ASSERT_GE(host, 0);
    ASSERT_TRUE(writeBytes(host, repeated(kSyncQuery, 2)));
    EXPECT_EQ(readBytes(host, 4), repeated(Bytes{0x10, 0x00}, 2));
    close(host);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "socket file left behind";
}

TEST(ModsimCommandLine, RefusesBadOptions) {
    const std::vector<std::vector<std::string>> bad{
        {},
        {"--tcp", "127.0.0.2:0", "--pty"},
        {"--tcp", "localhost:1"},
        {"--tcp", "127.0.0.2:70000"},
        {"--pty", "--address", "3"},
        {"--pty", "--address", "0"},
        {"--pty", "--address", "256"},
        {"--pty", "--serial", "123456789"},
        {"--pty", "--serial", "xyz"},
        {"--pty", "--model", "256"},
        {"--pty", "--log"},
        {"--pty", "--frobnicate"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{ModsimProcess::binary()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = testsupport::runProcess(argv, 5s);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find("usage: modsim"), std::string::npos);
    }
}

}  // namespace
