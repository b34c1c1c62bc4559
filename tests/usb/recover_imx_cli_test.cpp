// -N and -U -t RECOVER on an i.MX module as a user runs them: the updater runs under the
// test bed program, the simulated i.MX boot ROM (tools/imxsim) serves on a pty or behind
// an emulated hidraw node (-s USB), and its jump starts a simulated module whose device
// the bed holds on the emulated USB bus. A rebooting module leaves the bus, so the test
// unplugs its device once the module has taken the reboot request.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "byte_io.h"
#include "firmware_update.h"
#include "imxsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "updater_cli.h"
#include "byte_patterns.h"

using namespace std::chrono_literals;
using testsupport::FirmwareFile;
using testsupport::ImxsimProcess;
using testsupport::patternBytes;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::TempDir;

namespace {

std::string lineCommand(const std::string& path, const std::string& command) {
    return testsupport::controlLine(path, command);
}

bool fileHas(const std::string& path, const std::string& text) {
    return testsupport::readFileOrEmpty(path).find(text) != std::string::npos;
}

class RecoverImxCli : public ::testing::TestWithParam<bool> {
protected:
    bool hid() const { return GetParam(); }

    void SetUp() override {
        std::vector<std::string> args{"--log", dir.file("rom.log"), "--"};
        if (hid())
            args.insert(args.begin(), {"--hid-socket", dir.file("rom.sock")});
        else
            args.insert(args.begin(), "--pty");
        const std::vector<std::string> loader = testsupport::loaderModuleArgs(
            dir.file("module.sock"), dir.file("module.ctl"), moduleLog(), dir.file("image.bin"));
        args.insert(args.end(), loader.begin(), loader.end());
        rom = std::make_unique<ImxsimProcess>(args);
        ASSERT_FALSE(rom->endpoint().empty());
        port = hid() ? "USB" : rom->endpoint();

        file.serial = "0000CAFE";
        file.model = "Hallvex";
        file.loader = testsupport::noiseText(3000, 5);
        file.firmware = {{0x4000, patternBytes(700, 3)}, {0x6000, patternBytes(30, 4)}};
        trelPath = testsupport::writeFirmwareFile(dir.file("fw.trel"), file);
    }

    void TearDown() override {
        if (rom) rom->stop();
    }

    // Runs the updater under the bed, with the loader's module device present as `usbSerial`;
    // with `unplugAtReboot` the device leaves the bus once the module takes the reboot.
    ProcessResult updater(const std::string& usbSerial, const std::vector<std::string>& args, bool unplugAtReboot) {
        std::atomic<bool> done{false};
        std::thread unplugger;
        if (unplugAtReboot) {
            unplugger = std::thread([&] {
                while (!done && !fileHas(moduleLog(), "reboot")) std::this_thread::sleep_for(20ms);
                if (!done) unplugAnswer = lineCommand(dir.file("bed.sock"), "unplug " + usbSerial);
            });
        }
        std::vector<std::string> argv{testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed", "--control",
                                      dir.file("bed.sock"), "--device",
                                      "serial=" + usbSerial + ",model=19,bridge=unix:" + dir.file("module.sock")};
        if (hid()) argv.insert(argv.end(), {"--hidraw", "1fc9:0130:" + dir.file("rom.sock")});
        argv.insert(argv.end(), {"--", testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u",
                                 testsupport::kUnreachableServer});
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult result = testsupport::runProcess(argv, 90s, {"HOME=" + store.path()});
        done = true;
        if (unplugger.joinable()) unplugger.join();
        return result;
    }

    std::string moduleLog() const { return dir.file("module.log"); }

    TempDir dir;
    TempDir store;
    std::unique_ptr<ImxsimProcess> rom;
    std::string port;
    FirmwareFile file;
    std::string trelPath;
    std::string unplugAnswer;
};

// -N passes the placeholder serial number: the loader comes from the store entry DEADDEAD.
TEST_P(RecoverImxCli, FingerprintIsReadThroughTheStartedLoaderAndTheModuleReset) {
    const std::string folder = store.path() + "/updater/DEADDEAD";
    ASSERT_EQ(mkdir((store.path() + "/updater").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    testsupport::writeWholeFile(folder + "/77.trel", readWholeFile(trelPath));
    testsupport::writeWholeFile(folder + "/.settings", "LATEST_DOWNLOAD=77.trel\n");
    const ProcessResult result = updater("DEADDEAD", {"-N", "-s", port}, false);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.out, testsupport::cli_text::kVersion + "[ 44444444 33333333 22222222 11111111 ]\n");
    EXPECT_TRUE(fileHas(dir.file("rom.log"), "write-file done 0x10000000 size 3000"));
    EXPECT_TRUE(fileHas(moduleLog(), "reset")) << readWholeFile(moduleLog());
}

TEST_P(RecoverImxCli, FingerprintWithAFileNeedsASerialNumber) {
    const ProcessResult result = updater("DEADDEAD", {"-N", "-s", port, "-f", trelPath}, false);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "Add serial number or remove the trel filename to use a default recovery image.\n"
              "Got no response from chip\n");
    EXPECT_FALSE(fileHas(dir.file("rom.log"), "write-file"));
}

TEST_P(RecoverImxCli, RecoveryWritesTheFirmwareThroughTheStartedLoader) {
    const ProcessResult result =
        updater("0000CAFE", {"-U", "-t", "RECOVER", "-s", port, "-f", trelPath, "-d", "CAFE"}, true);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(unplugAnswer, "ok");
    EXPECT_NE(result.out.find("Transferring firmware block 1 of 2, 704 bytes\n"
                              "Transferring firmware block 2 of 2, 34 bytes\n"
                              "Transferred 2 blocks, 738 total bytes\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_EQ(readWholeFile(dir.file("image.bin")), testsupport::imageOf(file.firmware));
    EXPECT_NE(lineCommand(dir.file("module.ctl"), "module").find("build=4321"), std::string::npos);
}

// A loader block shorter than its load address: the file is refused before the ROM hears
// anything, with the cause, and nothing is written or recorded.
TEST_P(RecoverImxCli, AShortLoaderBlockIsRefusedBeforeAnythingIsSent) {
    file.extraArgs = {"--raw-block", "0:AABBCC"};
    trelPath = testsupport::writeFirmwareFile(dir.file("short.trel"), file);
    const ProcessResult result =
        updater("0000CAFE", {"-U", "-t", "RECOVER", "-s", port, "-f", trelPath, "-d", "CAFE"}, false);
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.err.find("Could not get Device Identifier\nReason: the firmware file's loader block of 3 bytes "
                              "is shorter than its 4-byte load address\n"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(fileHas(dir.file("rom.log"), "write-file"));
    EXPECT_FALSE(fileHas(dir.file("rom.log"), "error-status"));
    EXPECT_EQ(testsupport::readFileOrEmpty(dir.file("image.bin")), "");
    std::vector<std::string> stored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(store.path()))
        if (!entry.is_directory()) stored.push_back(entry.path().string());
    EXPECT_EQ(stored, std::vector<std::string>{});
}

// Every file under the store: what a run recorded there.
std::vector<std::string> storedFiles(const TempDir& store) {
    std::vector<std::string> stored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(store.path()))
        if (!entry.is_directory()) stored.push_back(entry.path().string());
    return stored;
}

// A file the module cannot be given whole is refused before the ROM hears anything: the
// loader it carries would start and the module would reboot with part of the firmware, or none.
TEST_P(RecoverImxCli, AFileThatCannotBeWrittenWholeIsRefusedBeforeAnythingIsSent) {
    struct Case {
        const char* name;
        std::vector<testsupport::ImageBlock> firmware;
        std::vector<std::string> extraArgs;
        const char* reason;
    };
    const Case cases[] = {
        // After the second firmware block's header: its 34 bytes, the info block (69) and the
        // checksum word (4).
        {"second firmware block claims more than the file holds",
         {{0x4000, patternBytes(700, 3)}, {0x6000, patternBytes(30, 4)}},
         {"--claim-length", "2=5000"},
         "block 3 of the firmware file (a firmware block) claims 5000 bytes, but only 107 remain in the file"},
        {"the only firmware block is its address",
         {},
         {"--firmware-block", "0x4000:"},
         "the firmware file holds no firmware to write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        file.firmware = c.firmware;
        file.extraArgs = c.extraArgs;
        trelPath = testsupport::writeFirmwareFile(dir.file("damaged.trel"), file);
        const ProcessResult result =
            updater("0000CAFE", {"-U", "-t", "RECOVER", "-s", port, "-f", trelPath, "-d", "CAFE"}, false);
        EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
        EXPECT_NE(result.err.find(std::string("Could not get Device Identifier\nReason: ") + c.reason + "\n"),
                  std::string::npos)
            << result.err;
        const std::string heard = testsupport::readFileOrEmpty(dir.file("rom.log"));
        EXPECT_EQ(heard.find("write-file"), std::string::npos) << heard;
        EXPECT_EQ(heard.find("error-status"), std::string::npos) << heard;
        EXPECT_EQ(heard.find("jump"), std::string::npos) << heard;
        EXPECT_EQ(testsupport::readFileOrEmpty(dir.file("image.bin")), "");
        EXPECT_EQ(storedFiles(store), std::vector<std::string>{});
    }
}

// While a recovery writes, a second -N and a second recovery on the same port (the pty, or
// the ROM's HID node for -s USB) are refused before they send anything, naming the first
// run's process; the first then finishes with the module holding the image. All runs share
// one test bed, as programs on one machine share its devices.
TEST_P(RecoverImxCli, ASecondRunOnThePortIsRefusedWhileARecoveryWrites) {
    const std::string updaterBin = testsupport::requiredEnv("UPDATER_BIN");
    const std::string common = "'" + updaterBin + "' -i '" + store.path() + "' -u " + testsupport::kUnreachableServer;
    const std::string recover = " -U -t RECOVER -s '" + port + "' -f '" + trelPath + "' -d CAFE";
    // Bounded waits only: the second runs start once the test says so, 60 s at most.
    const std::string script = common + recover + " >'" + dir.file("first.out") + "' 2>'" + dir.file("first.err") +
                               "' & first=$!; echo $first >'" + dir.file("first.pid") +
                               "'; i=0; while [ ! -e '" + dir.file("go") +
                               "' ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done; " + common + " -N -s '" +
                               port + "' >'" + dir.file("n.out") + "' 2>'" + dir.file("n.err") + "'; echo $? >'" +
                               dir.file("n.rc") + "'; " + common + recover + " >'" + dir.file("u.out") + "' 2>'" +
                               dir.file("u.err") + "'; echo $? >'" + dir.file("u.rc") + "'; wait $first; echo $? >'" +
                               dir.file("first.rc") + "'";
    std::atomic<bool> done{false};
    std::thread conductor([&] {
        // The first run is writing the firmware through the loader when the second ones start;
        // its module leaves the bus only once they have ended.
        while (!done && !fileHas(moduleLog(), "write ")) std::this_thread::sleep_for(10ms);
        testsupport::writeWholeFile(dir.file("go"), "");
        while (!done && !fileHas(dir.file("u.rc"), "\n")) std::this_thread::sleep_for(20ms);
        while (!done && !fileHas(moduleLog(), "reboot")) std::this_thread::sleep_for(20ms);
        if (!done) unplugAnswer = lineCommand(dir.file("bed.sock"), "unplug 0000CAFE");
    });
    std::vector<std::string> argv{testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed", "--control",
                                  dir.file("bed.sock"), "--device",
                                  "serial=0000CAFE,model=19,bridge=unix:" + dir.file("module.sock")};
    if (hid()) argv.insert(argv.end(), {"--hidraw", "1fc9:0130:" + dir.file("rom.sock")});
    argv.insert(argv.end(), {"--", "/bin/sh", "-c", script});
    const ProcessResult bed = testsupport::runProcess(argv, 100s, {"HOME=" + store.path()});
    done = true;
    conductor.join();
    ASSERT_EQ(bed.exitCode, 0) << bed.out << bed.err;

    const std::string pid = testsupport::readFileOrEmpty(dir.file("first.pid"));
    const std::string what = hid() ? "the i.MX boot ROM on USB (" : port;
    for (const auto& [name, line] : {std::pair<std::string, std::string>{"n", "Got no response from chip\n"},
                                     std::pair<std::string, std::string>{"u", "Could not get Device Identifier\n"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(testsupport::readFileOrEmpty(dir.file(name + ".rc")), "1\n");
        const std::string err = testsupport::readFileOrEmpty(dir.file(name + ".err"));
        EXPECT_EQ(err.rfind(line + "Reason: " + what, 0), 0u) << err;
        EXPECT_NE(err.find(" is in use by another program (process " + pid.substr(0, pid.find('\n')) +
                           "), a recovery or a serial tool: nothing was sent; try again once it has finished\n"),
                  std::string::npos)
            << err;
    }
    EXPECT_EQ(testsupport::readFileOrEmpty(dir.file("first.rc")), "0\n")
        << testsupport::readFileOrEmpty(dir.file("first.out")) << testsupport::readFileOrEmpty(dir.file("first.err"));
    EXPECT_EQ(unplugAnswer, "ok");
    EXPECT_EQ(readWholeFile(dir.file("image.bin")), testsupport::imageOf(file.firmware));
    // The ROM heard the first run alone: one status check, one loader, one jump.
    const std::string heard = readWholeFile(dir.file("rom.log"));
    size_t statusChecks = 0;
    for (size_t at = heard.find("error-status"); at != std::string::npos; at = heard.find("error-status", at + 1))
        ++statusChecks;
    EXPECT_EQ(statusChecks, 1u) << heard;
    EXPECT_EQ(heard.find("jump", heard.find("jump") + 1), std::string::npos) << heard;
}

INSTANTIATE_TEST_SUITE_P(SerialAndHid, RecoverImxCli, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Hid" : "Pty"; });

// -s USB with no i.MX boot ROM on the bus says so, after the usual line, for the fingerprint
// (which looks for its loader first) and for recovery from a file.
TEST(RecoverImxUsb, NoBootRomOnTheBusIsTheReason) {
    TempDir dir;
    FirmwareFile file;
    file.serial = "0000CAFE";
    file.model = "Hallvex";
    const std::string trelPath = testsupport::writeFirmwareFile(dir.file("fw.trel"), file);
    const std::string reason =
        "Reason: no i.MX boot ROM (USB 1FC9:0130) on USB: check the cable and that the chip was started in its "
        "serial download mode\n";
    const std::pair<std::vector<std::string>, std::string> commands[] = {
        {{"-N", "-s", "USB"}, "Got no response from chip\n"},
        {{"-U", "-t", "RECOVER", "-s", "USB", "-f", trelPath, "-d", "CAFE"}, "Could not get Device Identifier\n"}};
    for (const auto& [command, line] : commands) {
        SCOPED_TRACE(command[0]);
        TempDir store;
        std::vector<std::string> argv{testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed",
                                      "--control",
                                      dir.file("bed.sock"),
                                      "--",
                                      testsupport::requiredEnv("UPDATER_BIN"),
                                      "-i",
                                      store.path(),
                                      "-u",
                                      testsupport::kUnreachableServer};
        argv.insert(argv.end(), command.begin(), command.end());
        const ProcessResult result = testsupport::runProcess(argv, 90s, {"HOME=" + store.path()});
        EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
        EXPECT_NE(result.err.find(line + reason), std::string::npos) << result.err;
    }
}

}  // namespace
