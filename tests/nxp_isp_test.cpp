// The LPC17xx ISP client against the simulated boot ROM on a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "NXPSerial.h"
#include "lpcsim_process.h"
#include "tempdir.h"
#include "byte_patterns.h"

using testsupport::LpcsimProcess;
using Clock = std::chrono::steady_clock;

namespace {

const std::vector<std::string> ID_ARGS = {"--id", "0x11223344,305419896,0xCAFEBABE,7"};

// Response reads what the chip has sent after a wait computed from the baud rate; the lowest
// rate gives the simulator the widest margin on a loaded machine (the pty ignores the rate).
const uint32_t TEST_BAUD = 2400;

struct Connected {
    explicit Connected(std::vector<std::string> args) : sim(std::move(args)) {}
    LpcsimProcess sim;
    NXPSerialClass isp;
    bool open() { return !sim.port().empty() && isp.Connect(sim.port().c_str(), TEST_BAUD) == aErrNone; }
};

TEST(NxpIsp, SyncsAndReadsTheFourDeviceIdWords) {
    Connected chip(ID_ARGS);
    ASSERT_TRUE(chip.open()) << chip.sim.port();
    ASSERT_EQ(chip.isp.Sync(), aErrNone);
    ASSERT_EQ(chip.isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(chip.isp.deviceID[0], 0x11223344u);
    EXPECT_EQ(chip.isp.deviceID[1], 305419896u);
    EXPECT_EQ(chip.isp.deviceID[2], 0xCAFEBABEu);
    EXPECT_EQ(chip.isp.deviceID[3], 7u);
}

TEST(NxpIsp, ASecondObjectTalksToTheSynchronisedChipWithoutSyncingAgain) {
    Connected chip(ID_ARGS);
    ASSERT_TRUE(chip.open());
    ASSERT_EQ(chip.isp.Sync(), aErrNone);
    chip.isp.Disconnect();

    NXPSerialClass again;
    ASSERT_EQ(again.Connect(chip.sim.port().c_str(), TEST_BAUD), aErrNone);
    ASSERT_EQ(again.SetEcho(false), aErrNone);
    EXPECT_FALSE(again.echo);
    ASSERT_EQ(again.GetDeviceID(), aErrNone);
    EXPECT_EQ(again.deviceID[2], 0xCAFEBABEu);
    uint8_t major = 0, minor = 0;
    EXPECT_EQ(again.GetBootLoaderVersion(major, minor), aErrNone);
    int64_t part = 0;
    EXPECT_EQ(again.GetPartNumber(part), aErrNone);
    EXPECT_GT(part, 0);
}

// The ROM measures the rate on "?" and keeps it: a client that reopens the port at another
// rate is not understood, one that reopens it at the same rate is.
TEST(NxpIsp, TheChipUnderstandsOnlyTheRateItSynchronisedAt) {
    const std::pair<uint32_t, aErr> cases[] = {{9600, aErrNone}, {115200, aErrParam}};
    for (const auto& [reopened, expected] : cases) {
        SCOPED_TRACE(reopened);
        LpcsimProcess sim(ID_ARGS);
        ASSERT_FALSE(sim.port().empty());
        {
            NXPSerialClass isp;
            ASSERT_EQ(isp.Connect(sim.port().c_str(), 9600), aErrNone);
            ASSERT_EQ(isp.Sync(), aErrNone);
        }
        NXPSerialClass again;
        ASSERT_EQ(again.Connect(sim.port().c_str(), reopened), aErrNone);
        EXPECT_EQ(again.GetDeviceID(), expected);
    }
}

TEST(NxpIsp, ConnectPicksTheFirstTableRateNotBelowTheRequest) {
    LpcsimProcess sim({});
    ASSERT_FALSE(sim.port().empty());
    const std::pair<uint32_t, uint32_t> cases[] = {{9600, 9600}, {100000, 115200}, {0, 2400}, {460800, 9600}};
    for (const auto& [requested, chosen] : cases) {
        NXPSerialClass isp;
        ASSERT_EQ(isp.Connect(sim.port().c_str(), requested), aErrNone);
        EXPECT_EQ(isp.baud, chosen) << requested;
        EXPECT_EQ(std::string(isp.port), sim.port());
    }
}

TEST(NxpIsp, ConnectToAMissingPortReportsNotFound) {
    NXPSerialClass isp;
    EXPECT_EQ(isp.Connect("/dev/pts/does-not-exist", 115200), aErrNotFound);
    EXPECT_EQ(isp.stream, nullptr);
}

// Erases two sectors of a flash that starts all zero, programs them through the RAM buffer,
// once with echo on and once with it off, and checks the image byte for byte.
TEST(NxpIsp, ErasesAndProgramsFlashExactlyAsSent) {
    testsupport::TempDir dir;
    const std::string image = dir.file("flash.bin");
    Connected chip({"--fill", "0", "--dump", image});
    ASSERT_TRUE(chip.open());
    NXPSerialClass& isp = chip.isp;
    ASSERT_EQ(isp.Sync(), aErrNone);
    ASSERT_EQ(isp.Unlock(), aErrNone);
    ASSERT_EQ(isp.Prepare(0, 1), aErrNone);
    ASSERT_EQ(isp.Erase(0, 1), aErrNone);

    const std::vector<uint8_t> first = testsupport::noiseBytes(4096, 1);
    const std::vector<uint8_t> second = testsupport::noiseBytes(4096, 2);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, first.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);

    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, second.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(1, 1), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    // Copying into a sector that was not prepared is refused by the chip.
    EXPECT_EQ(isp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    EXPECT_EQ(isp.ExecuteFrom(0), aErrNone);

    ASSERT_EQ(chip.sim.stop(), 0);
    const std::string flash = testsupport::readWholeFile(image);
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_EQ(flash.compare(0, 4096, std::string(first.begin(), first.end())), 0);
    EXPECT_EQ(flash.compare(4096, 4096, std::string(second.begin(), second.end())), 0);
    EXPECT_EQ(flash.find_first_not_of('\0', 8192), std::string::npos);
}

// Reads back flash and RAM in blocks of 20 lines with their checksums, echo on and off.
TEST(NxpIsp, ReadsBackWhatWasWrittenInBothEchoModes) {
    Connected chip({"--fill", "0"});
    ASSERT_TRUE(chip.open());
    NXPSerialClass& isp = chip.isp;
    ASSERT_EQ(isp.Sync(), aErrNone);
    ASSERT_EQ(isp.Unlock(), aErrNone);
    const std::vector<uint8_t> data = testsupport::noiseBytes(4096, 5);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(2, 2), aErrNone);
    ASSERT_EQ(isp.Erase(2, 2), aErrNone);
    ASSERT_EQ(isp.Prepare(2, 2), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0x2000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    for (bool echo : {true, false}) {
        SCOPED_TRACE(echo ? "echo" : "no echo");
        ASSERT_EQ(isp.SetEcho(echo), aErrNone);
        std::vector<uint8_t> flash(4096 + 8, 0xEE);
        ASSERT_EQ(isp.Read(0x2000 - 4, 4096 + 8, flash.data()), aErrNone);
        EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + 4), std::vector<uint8_t>(4, 0));
        EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 4, flash.end() - 4), data);
        EXPECT_EQ(std::vector<uint8_t>(flash.end() - 4, flash.end()), std::vector<uint8_t>(4, 0));
        std::vector<uint8_t> ram(900);
        ASSERT_EQ(isp.Read(NXPSerialClass::WRITE_ADDRESS + 100, 900, ram.data()), aErrNone);
        EXPECT_EQ(ram, std::vector<uint8_t>(data.begin() + 100, data.begin() + 1000));
        // The chip is back at its command prompt.
        EXPECT_EQ(isp.GetDeviceID(), aErrNone);
    }
}

TEST(NxpIsp, ReadAsksAgainForABlockWithAWrongChecksumAndGivesUpOnTheThird) {
    const std::pair<const char*, aErr> cases[] = {
        {"checksum:wrong:2", aErrNone}, {"checksum:wrong", aErrTimeout}, {"checksum:silent", aErrTimeout}};
    for (const auto& [fault, expected] : cases) {
        SCOPED_TRACE(fault);
        Connected chip({"--fill", "0x5A", "--fault", fault});
        ASSERT_TRUE(chip.open());
        ASSERT_EQ(chip.isp.Sync(), aErrNone);
        std::vector<uint8_t> flash(1800);
        const auto started = Clock::now();
        EXPECT_EQ(chip.isp.Read(0, 1800, flash.data()), expected);
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
        if (expected == aErrNone) {
            EXPECT_EQ(flash, std::vector<uint8_t>(1800, 0x5A));
        }
    }
}

TEST(NxpIsp, WriteSurvivesTwoResendsOfTheSameBlock) {
    Connected chip({"--fault", "checksum:resend:2"});
    ASSERT_TRUE(chip.open());
    ASSERT_EQ(chip.isp.Sync(), aErrNone);
    const std::vector<uint8_t> data = testsupport::noiseBytes(900, 3);
    EXPECT_EQ(chip.isp.Write(NXPSerialClass::WRITE_ADDRESS, 900, data.data()), aErrNone);
}

struct FaultCase {
    const char* name;
    std::vector<std::string> faults;
    std::function<aErr(NXPSerialClass&)> operation;
    aErr expected;
};

aErr writeBlock(NXPSerialClass& isp) {
    const std::vector<uint8_t> data = testsupport::noiseBytes(1800, 4);
    return isp.Write(NXPSerialClass::WRITE_ADDRESS, 1800, data.data());
}

TEST(NxpIsp, EachFaultOfTheChipEndsTheOperationWithItsErrorInBoundedTime) {
    const FaultCase cases[] = {
        {"no sync answer", {"silent:sync"}, [](NXPSerialClass& isp) { return isp.Sync(); }, aErrNotReady},
        {"no device ID", {"silent:N"}, [](NXPSerialClass& isp) { return isp.GetDeviceID(); }, aErrParam},
        {"device ID refused", {"rc:N:1"}, [](NXPSerialClass& isp) { return isp.GetDeviceID(); }, aErrParam},
        {"erase refused", {"rc:E:9"}, [](NXPSerialClass& isp) { return isp.Erase(0, 0); }, aErrParam},
        {"prepare unanswered", {"silent:P"}, [](NXPSerialClass& isp) { return isp.Prepare(0, 0); }, aErrParam},
        {"unlock refused", {"rc:U:16"}, [](NXPSerialClass& isp) { return isp.Unlock(); }, aErrParam},
        {"two-digit code ending in 0",
         {"rc:C:10"},
         [](NXPSerialClass& isp) { return isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256); },
         aErrParam},
        {"write refused", {"rc:W:14"}, writeBlock, aErrParam},
        {"third resend", {"checksum:resend"}, writeBlock, aErrTimeout},
        {"resends spread over blocks",
         {"checksum:resend:1", "checksum:pass:1", "checksum:resend:2"},
         writeBlock,
         aErrTimeout},
        {"wrong checksum answer", {"checksum:wrong"}, writeBlock, aErrIO},
        {"checksum unanswered", {"checksum:silent"}, writeBlock, aErrIO},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args;
        for (const std::string& fault : c.faults) args.insert(args.end(), {"--fault", fault});
        Connected chip(args);
        ASSERT_TRUE(chip.open());
        if (c.faults[0] != "silent:sync") {
            ASSERT_EQ(chip.isp.Sync(), aErrNone);
        }
        const auto started = Clock::now();
        EXPECT_EQ(c.operation(chip.isp), c.expected);
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    }
}

TEST(NxpIsp, BadArgumentsAreRefusedBeforeAnythingIsSent) {
    NXPSerialClass isp;
    const uint8_t data[8] = {};
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), aErrParam);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
    EXPECT_EQ(isp.Prepare(5, 3), aErrParam);
    EXPECT_EQ(isp.Erase(5, 3), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x100, NXPSerialClass::WRITE_ADDRESS, 300), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x180, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
}

}  // namespace
