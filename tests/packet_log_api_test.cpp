// The packet log of a Link and a Module against the simulated module over loopback
// TCP: the text lines of the log file, one per packet both ways in order, the START
// line of each enable, disable and enable again, reset and reconnect.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Module.h"
#include "aFile.h"
#include "api_modsim.h"
#include "hang_guard.h"
#include "tempdir.h"
#include "wait_until.h"

using namespace Veltrane::Corvalith;
using namespace std::chrono_literals;
using testsupport::ApiModsim;
using testsupport::readWholeFile;
using testsupport::TempDir;

namespace {

const uint8_t MODULE_ADDRESS = 4;
const std::string START_LINE = std::string("6 < START") + '\0';

std::vector<std::string> fileLines(const std::string& path) {
    std::vector<std::string> lines;
    if (!aFile_Exists(path.c_str())) return lines;
    const std::string content = readWholeFile(path);
    size_t begin = 0;
    for (size_t end; (end = content.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(content.substr(begin, end - begin));
    if (begin != content.size()) lines.push_back("unterminated: " + content.substr(begin));
    return lines;
}

// Waits for `count` lines, and for the last to be whole: the logger may be caught in
// the middle of writing one.
std::vector<std::string> awaitLines(const std::string& path, size_t count) {
    std::vector<std::string> lines;
    testsupport::waitUntil(
        [&] {
            lines = fileLines(path);
            return lines.size() >= count && lines.back().rfind("unterminated: ", 0) != 0;
        },
        30s);
    return lines;
}

// The line of an echo (command 0x17) of `data` in either direction.
std::string echoLine(const char* arrow, const std::vector<uint8_t>& data) {
    std::string line = std::to_string(data.size() + 3) + " " + arrow + " ";
    char byte[8];
    for (uint8_t b : std::vector<uint8_t>{MODULE_ADDRESS, static_cast<uint8_t>(data.size() + 1), 0x17}) {
        snprintf(byte, sizeof byte, "0x%X ", b);
        line += byte;
    }
    for (uint8_t b : data) {
        snprintf(byte, sizeof byte, "0x%X ", b);
        line += byte;
    }
    return line;
}

class PacketLogApi : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        module = std::make_unique<Module>(MODULE_ADDRESS, false, 0);
        aWeaveConfig config;
        config.enabled = 0;
        config.fallback = 0;
        module->setConfig(config);
        ASSERT_EQ(module->connectFromSpec(sim.spec()), aErrNone);
        ASSERT_TRUE(sim.waitForLog("ev route on"));
    }

    void echo(const std::vector<uint8_t>& data, std::vector<std::string>& expected) {
        ASSERT_EQ(module->debug(data.data(), static_cast<uint8_t>(data.size())), aErrNone);
        expected.push_back(echoLine(">", data));
        expected.push_back(echoLine("<", data));
    }

    ApiModsim sim{{"--address", std::to_string(MODULE_ADDRESS)}, "127.0.0.4"};
    TempDir dir;
    std::unique_ptr<Module> module;
};

TEST_F(PacketLogApi, FileLinesMatchThePacketsBothWaysInOrder) {
    const std::string path = dir.file("packets.log");
    ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
    std::vector<std::string> expected{START_LINE};
    echo({3, 0x41, 0x20}, expected);
    echo({0xFF, 0, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24},
         expected);
    echo({}, expected);
    EXPECT_EQ(awaitLines(path, expected.size()), expected);
    EXPECT_EQ(module->disablePacketLog(), aErrNone);
    EXPECT_EQ(expected[1], "6 > 0x4 0x4 0x17 0x3 0x41 0x20 ");
}

TEST_F(PacketLogApi, SecondEnableKeepsTheFirstFile) {
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("second.log");
    ASSERT_EQ(module->enablePacketLog(first.c_str()), aErrNone);
    ASSERT_EQ(module->enablePacketLog(second.c_str()), aErrNone);
    EXPECT_EQ(awaitLines(first, 2), (std::vector<std::string>{START_LINE, START_LINE}));
    EXPECT_FALSE(aFile_Exists(second.c_str()));
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

TEST_F(PacketLogApi, IdleLoggerSleepsAndWritesNothing) {
    const std::string path = dir.file("packets.log");
    ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(awaitLines(path, 1).size(), 1u);
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "the logger spins on an empty ring";
    EXPECT_EQ(fileLines(path), std::vector<std::string>{START_LINE});
}

TEST_F(PacketLogApi, DisabledLogKeepsRecordingForTheNextEnable) {
    EXPECT_EQ(module->disablePacketLog(), aErrParam);
    const std::string path = dir.file("packets.log");
    std::vector<std::string> expected{START_LINE};
    ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
    echo({1}, expected);
    ASSERT_EQ(awaitLines(path, expected.size()), expected);
    const auto stopStart = std::chrono::steady_clock::now();
    ASSERT_EQ(module->disablePacketLog(), aErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 100ms);
    EXPECT_EQ(module->disablePacketLog(), aErrNone);

    std::vector<std::string> whileDisabled;
    echo({2}, whileDisabled);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fileLines(path), expected);

    ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
    // The ring's older records come out first, then the new START.
    expected.insert(expected.end(), whileDisabled.begin(), whileDisabled.end());
    expected.push_back(START_LINE);
    EXPECT_EQ(awaitLines(path, expected.size()), expected);
}

TEST_F(PacketLogApi, ResetReleasesTheLogUntilEnabledAgain) {
    const std::string path = dir.file("packets.log");
    std::vector<std::string> expected{START_LINE};
    ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
    echo({1}, expected);
    ASSERT_EQ(awaitLines(path, expected.size()), expected);

    ASSERT_EQ(module->getLink()->reset(), aErrNone);
    ASSERT_TRUE(module->isConnected());
    std::vector<std::string> unlogged;
    echo({2}, unlogged);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fileLines(path), expected);

    ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
    expected.push_back(START_LINE);
    echo({3}, expected);
    EXPECT_EQ(awaitLines(path, expected.size()), expected);
}

TEST_F(PacketLogApi, ReconnectedLinkIsLoggedIntoTheNewFile) {
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("second.log");
    ASSERT_EQ(module->enablePacketLog(first.c_str()), aErrNone);
    ASSERT_EQ(awaitLines(first, 1).size(), 1u);
    ASSERT_EQ(module->disconnect(), aErrNone);
    EXPECT_EQ(module->enablePacketLog(first.c_str()), aErrConfiguration);
    EXPECT_EQ(module->disablePacketLog(), aErrConfiguration);

    ASSERT_EQ(module->reconnect(), aErrNone);
    ASSERT_TRUE(sim.waitForLog("ev route on", 2));
    ASSERT_EQ(module->enablePacketLog(second.c_str()), aErrNone);
    std::vector<std::string> expected{START_LINE};
    echo({9}, expected);
    EXPECT_EQ(awaitLines(second, expected.size()), expected);
    EXPECT_EQ(fileLines(first), std::vector<std::string>{START_LINE});
}

TEST_F(PacketLogApi, FileThatCannotBeOpenedIsAnError) {
    const std::string nowhere = dir.file("missing-directory/packets.log");
    EXPECT_EQ(module->enablePacketLog(nowhere.c_str()), aErrIO);
    EXPECT_FALSE(aFile_Exists(nowhere.c_str()));
    EXPECT_EQ(module->disablePacketLog(), aErrParam) << "no logger was made";
    // The next enable tries the file again.
    const std::string path = dir.file("packets.log");
    ASSERT_EQ(module->enablePacketLog(path.c_str()), aErrNone);
    EXPECT_EQ(awaitLines(path, 1), std::vector<std::string>{START_LINE});
}

// A router Module and a Module behind it share one link, each with its own logger on
// the link's ring: a reset through either stops both loggers before the ring goes.
TEST(PacketLogApiShared, ResetStopsTheLoggersOfEveryLinkSharingTheLink) {
    ApiModsim sim{{"--address", std::to_string(MODULE_ADDRESS), "--router-module", "10:0000BEEF:21"}, "127.0.0.6"};
    ASSERT_TRUE(sim.ready());
    TempDir dir;
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    Module router(MODULE_ADDRESS, false, 0);
    router.setConfig(config);
    ASSERT_EQ(router.connectFromSpec(sim.spec()), aErrNone);
    Module routed(10, false, 0);
    routed.setConfig(config);
    ASSERT_EQ(routed.connectThroughLinkModule(&router), aErrNone);

    const std::string routedPath = dir.file("routed.log");
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(routed.enablePacketLog(routedPath.c_str()), aErrNone);
        ASSERT_EQ(router.enablePacketLog(dir.file("router.log").c_str()), aErrNone);
        const uint8_t data[] = {static_cast<uint8_t>(round)};
        ASSERT_EQ(routed.debug(data, 1), aErrNone);
        ASSERT_EQ(router.getLink()->reset(), aErrNone);
        ASSERT_TRUE(router.isConnected());
    }
    // Stopped by the reset: nothing more reaches the routed file until it is enabled.
    const std::size_t before = fileLines(routedPath).size();
    const uint8_t data[] = {0x55};
    ASSERT_EQ(routed.debug(data, 1), aErrNone);
    ASSERT_EQ(routed.enablePacketLog(routedPath.c_str()), aErrNone);
    const auto lines = awaitLines(routedPath, before + 1);
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), START_LINE);
}

// "<length> < " or "<length> > " and what follows: a line the logger finished.
bool isWholeLine(const std::string& text) {
    const std::size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos) return false;
    const std::string arrow = text.substr(digits, 3);
    return arrow == " < " || arrow == " > ";
}

// Three Links on one router link: one resets the link over and over while the other two
// start and stop their loggers. Every call returns, each with success, the link runs
// afterwards, and each stopped logger has finished its last line.
TEST(PacketLogApiShared, ResetsWhileOtherLinksToggleTheirLogs) {
    ApiModsim sim{{"--address", std::to_string(MODULE_ADDRESS), "--router-module", "10:0000BEEF:21", "--router-module",
                   "12:0000F00D:22"},
                  "127.0.0.6"};
    ASSERT_TRUE(sim.ready());
    TempDir dir;
    Module router(MODULE_ADDRESS, false, 0);
    ASSERT_EQ(testsupport::connectWithoutSharing(router, sim.spec()), aErrNone);
    std::vector<std::unique_ptr<Module>> routed;
    for (uint8_t address : {10, 12}) {
        routed.push_back(std::make_unique<Module>(address, false, 0));
        routed.back()->setConfig(testsupport::plainConfig());
        ASSERT_EQ(routed.back()->connectThroughLinkModule(&router), aErrNone);
    }

    const int resets = 40;
    // Enough for every reset to meet a toggle in progress, bounded however slow.
    const int togglesAtMost = 20000;
    std::atomic<bool> resetting{true};
    std::atomic<int> failedCalls{0};
    std::atomic<int> toggles{0};
    {
        testsupport::HangGuard guard("resets while other Links toggle their packet logs", std::chrono::seconds(90));
        std::vector<std::thread> togglers;
        for (std::size_t i = 0; i < routed.size(); ++i) {
            const std::string path = dir.file("routed" + std::to_string(i) + ".log");
            togglers.emplace_back([&, i, path] {
                for (int round = 0; round < togglesAtMost && resetting; ++round) {
                    if (routed[i]->enablePacketLog(path.c_str()) != aErrNone) ++failedCalls;
                    if (routed[i]->disablePacketLog() != aErrNone) ++failedCalls;
                    ++toggles;
                }
            });
        }
        for (int round = 0; round < resets; ++round) {
            EXPECT_EQ(router.getLink()->reset(), aErrNone);
            // Each reset lands among toggles of both other Links.
            const int before = toggles;
            testsupport::waitUntil([&] { return toggles >= before + 2; }, std::chrono::seconds(10),
                                   std::chrono::milliseconds(1));
        }
        resetting = false;
        for (auto& toggler : togglers) toggler.join();
    }
    EXPECT_EQ(failedCalls.load(), 0);
    EXPECT_GE(toggles.load(), resets);

    ASSERT_TRUE(testsupport::waitUntil([&] { return router.isConnected(); }, std::chrono::seconds(30)));
    const uint8_t data[] = {0x42};
    EXPECT_EQ(routed[0]->debug(data, 1), aErrNone);
    // Both loggers drain the one ring of the link, so a record lands in either file.
    std::size_t starts = 0;
    for (std::size_t i = 0; i < routed.size(); ++i) {
        const auto lines = fileLines(dir.file("routed" + std::to_string(i) + ".log"));
        for (const auto& text : lines) EXPECT_TRUE(isWholeLine(text)) << text;
        starts += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), START_LINE));
    }
    EXPECT_GE(starts, 1u);
}

TEST(PacketLogApiOffline, UnconnectedLinkRefuses) {
    TempDir dir;
    Link link("offline");
    EXPECT_EQ(link.enablePacketLog(dir.file("x.log").c_str()), aErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
    Module module(2, false, 0);
    EXPECT_EQ(module.enablePacketLog(dir.file("x.log").c_str()), aErrConfiguration);
    EXPECT_EQ(module.disablePacketLog(), aErrConfiguration);
    EXPECT_FALSE(aFile_Exists(dir.file("x.log").c_str()));
}

}  // namespace
