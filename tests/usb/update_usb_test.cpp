// `-U` over USB as a user runs it: the updater runs under the test bed program with the
// module's device bridged to a simulated module. A rebooting USB module leaves the bus,
// so the test unplugs the emulated device once the module has taken the reboot request.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "byte_io.h"
#include "firmware_update.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "updater_cli.h"

using namespace std::chrono_literals;
using testsupport::FirmwareFile;
using testsupport::ModsimProcess;
using testsupport::patternBytes;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::TempDir;

namespace {

const char* const SERIAL = "0000CAFE";

std::string bedCommand(const std::string& path, const std::string& command) {
    return testsupport::controlLine(path, command);
}

class UpdateUsb : public ::testing::Test {
protected:
    void SetUp() override {
        module = std::make_unique<ModsimProcess>(
            dir.path(), std::vector<std::string>{"--unix", socketPath(), "--serial", SERIAL, "--model", "19",
                                                 "--load-way", "reconnect", "--dump-image", dumpPath()});
        ASSERT_TRUE(module->ready());
        file.serial = SERIAL;
        file.model = "Hallvex";
        file.firmware = {{0x4000, patternBytes(700, 3)}, {0x6000, patternBytes(30, 4)}};
    }

    // Runs the update under the bed; with `unplugAtReboot` the device leaves the bus as
    // soon as the module logs the reboot request. With `inPlaceMs` the device stays listed
    // while the module restarts into its loader, refusing every transfer for that long.
    ProcessResult update(bool unplugAtReboot, int inPlaceMs = 0, const std::vector<std::string>& extra = {}) {
        std::atomic<bool> done{false};
        std::thread unplugger;
        if (unplugAtReboot) {
            unplugger = std::thread([&] {
                if (inPlaceMs > 0) {
                    while (!done && !module->waitForLog("ev disconnect restart into loader", 1, 200ms)) {}
                    if (!done)
                        restartAnswer = bedCommand(controlPath(),
                                                   std::string("restart ") + SERIAL + " " + std::to_string(inPlaceMs));
                }
                while (!done && !module->waitForLog("ev loader 0x02 reboot", 1, 200ms)) {}
                if (!done) unplugAnswer = bedCommand(controlPath(), std::string("unplug ") + SERIAL);
            });
        }
        std::vector<std::string> argv{testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed",
                                      "--control",
                                      controlPath(),
                                      "--device",
                                      std::string("serial=") + SERIAL + ",model=19,bridge=unix:" + socketPath(),
                                      "--",
                                      testsupport::requiredEnv("UPDATER_BIN"),
                                      "-i",
                                      store.path(),
                                      "-u",
                                      testsupport::kUnreachableServer,
                                      "-U",
                                      "-d",
                                      SERIAL,
                                      "-f",
                                      testsupport::writeFirmwareFile(dir.file("fw.trel"), file)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const ProcessResult result = testsupport::runProcess(argv, 60s, {"HOME=" + store.path()});
        done = true;
        if (unplugger.joinable()) unplugger.join();
        return result;
    }

    std::string socketPath() const { return dir.file("module.sock"); }
    std::string controlPath() const { return dir.file("bed.sock"); }
    std::string dumpPath() const { return dir.file("image.bin"); }
    std::string settingsPath() const { return store.path() + "/updater/" + SERIAL + "/.settings"; }

    TempDir dir;
    TempDir store;
    FirmwareFile file;
    std::unique_ptr<ModsimProcess> module;
    std::string unplugAnswer;
    std::string restartAnswer;
};

TEST_F(UpdateUsb, SendsTheFileAndRecordsTheTransfer) {
    const auto result = update(true);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(unplugAnswer, "ok");
    EXPECT_NE(result.out.find("Transferring firmware block 1 of 2, 704 bytes\n"
                              "Transferring firmware block 2 of 2, 34 bytes\n"
                              "Transferred 2 blocks, 738 total bytes\n"
                              "Update time: "),
              std::string::npos)
        << result.out;
    EXPECT_EQ(readWholeFile(dumpPath()), testsupport::imageOf(file.firmware));
    // The loader came up on a new connection: the restart dropped the first one.
    EXPECT_TRUE(module->waitForLog("ev disconnect restart into loader"));
    const std::string settings = readWholeFile(settingsPath());
    EXPECT_NE(settings.find("LATEST_TRANSFER=" + dir.file("fw.trel") + "\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;
}

// A module that stays listed while it restarts into its loader, refusing every transfer
// meanwhile, and whose loader confirms its start after the host's first query on the new
// link: the confirmation is taken by the first wait after the reconnection.
TEST_F(UpdateUsb, AModuleRestartingInPlaceHasItsLoaderStartConfirmed) {
    const auto result = update(true, 1200, {"-X", "0x500"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(restartAnswer, "ok");
    EXPECT_EQ(readWholeFile(dumpPath()), testsupport::imageOf(file.firmware));
    const std::string trace = result.out + result.err;
    EXPECT_NE(trace.find("NETWORK: Loader validated start (Reconnect)"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("Invalid or reply when starting loader"), std::string::npos) << trace;
}

// A module that takes the reboot request but stays on the bus: the wait for its link to
// drop ends after its limit, the tool says so and the update counts as failed.
TEST_F(UpdateUsb, AModuleThatNeverLeavesTheBusFailsAfterTheRebootLimit) {
    const auto started = std::chrono::steady_clock::now();
    const auto result = update(false);
    const auto took = std::chrono::steady_clock::now() - started;
    // An exit by a signal (128 + its number) names whose output tells why: the bed's
    // own messages come before the updater's.
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_GE(took, 29s);
    EXPECT_LT(took, 45s);
    EXPECT_NE(result.err.find("Device did not restart: its link was still up after 30 seconds\n"), std::string::npos)
        << result.err;
    EXPECT_EQ(readWholeFile(settingsPath()).find("LATEST_TRANSFER"), std::string::npos);
}

}  // namespace
