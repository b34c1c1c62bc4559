// A user without access to a module's USB node, as on a host without the udev rule: the
// updater runs under the test bed as an unprivileged user (nobody, group plugdev), so the
// kernel itself refuses to open the emulated node (root's, mode 0644). The module is
// reported with its serial number and the reason instead of being taken for absent; with
// the node given to group plugdev, mode 0660, as the udev rule leaves it, the same user
// reaches the module.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "firmware_update.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "updater_cli.h"

using namespace std::chrono_literals;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const char* const SERIAL = "0000CAFE";
const char* const NOBODY = "65534";
const char* const PLUGDEV = "46";

const std::string kRefused =
    "Module 0000CAFE is on USB but cannot be opened: Access denied (insufficient permissions)\n"
    "Non-root access needs the udev rule ";
const std::string kRuleAdvice =
    "/lib/udev/rules.d/70-corvalith-modules.rules and membership of the plugdev group (see USB ACCESS in "
    "updater(1)), or run as root\n";

class UsbAccess : public ::testing::Test {
protected:
    void SetUp() override {
        // The unprivileged user writes the store and reads the firmware file.
        ASSERT_EQ(chmod(store.path().c_str(), 0777), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    }

    // Runs the updater under the bed as nobody:plugdev, inside a private network
    // namespace: should a bug send it to TCP/IP discovery, no multicast leaves the host.
    ProcessResult run(const std::string& device, const std::vector<std::string>& args) {
        std::vector<std::string> argv{testsupport::requiredEnv("SOURCE_DIR") + "/tools/netns/netns-run",
                                      testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed",
                                      "--user",
                                      std::string(NOBODY) + ":" + PLUGDEV,
                                      "--device",
                                      device,
                                      "--",
                                      testsupport::requiredEnv("UPDATER_BIN"),
                                      "-i",
                                      store.path(),
                                      "-u",
                                      testsupport::kUnreachableServer};
        argv.insert(argv.end(), args.begin(), args.end());
        // The namespace helper runs without this test's preload; the bed puts it back.
        return testsupport::runProcess(argv, 60s, {"HOME=" + store.path(), "LD_PRELOAD="});
    }

    std::string firmwareFile() {
        testsupport::FirmwareFile file;
        file.serial = SERIAL;
        file.model = "Hallvex";
        file.firmware = {{0x4000, testsupport::patternBytes(64, 1)}};
        const std::string path = testsupport::writeFirmwareFile(dir.file("fw.trel"), file);
        chmod(path.c_str(), 0644);
        return path;
    }

    TempDir dir;
    TempDir store;
};

TEST_F(UsbAccess, DiscoveryNamesAModuleItMayNotOpen) {
    const ProcessResult result = run(std::string("serial=") + SERIAL + ",model=19", {"-D"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, testsupport::cli_text::kVersion +
                              "Searching for Corvalith devices\nDiscovered Devices: (USB)\n    No devices found.\n");
    EXPECT_EQ(result.err.substr(0, kRefused.size()), kRefused) << result.err;
    EXPECT_NE(result.err.find(kRuleAdvice), std::string::npos) << result.err;
}

// The update stops at the refusal, with the reason after its own message; it does not
// go looking for the module on the network.
TEST_F(UsbAccess, UpdateSaysWhyItCannotConnect) {
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult result =
        run(std::string("serial=") + SERIAL + ",model=19", {"-U", "-d", SERIAL, "-f", firmwareFile()});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_EQ(result.exitCode, 1);
    const std::string expected = "Failed to connect to module [0000CAFE]\n" + kRefused;
    EXPECT_EQ(result.err.substr(0, expected.size()), expected) << result.err;
    EXPECT_NE(result.err.find(kRuleAdvice), std::string::npos) << result.err;
}

// Group plugdev with mode 0660 is all the user needs: the module answers as usual.
TEST_F(UsbAccess, TheRulesGroupAccessOpensTheModule) {
    const std::string socket = dir.file("module.sock");
    testsupport::ModsimProcess module(dir.path(), {"--unix", socket, "--serial", SERIAL, "--model", "19", "--build",
                                                   "1234", "--version", "01030000"});
    ASSERT_TRUE(module.ready());
    const ProcessResult result =
        run(std::string("serial=") + SERIAL + ",model=19,access=" + PLUGDEV + ",bridge=unix:" + socket, {"-D"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("    0000CAFE  02       02      Hallvex      "), std::string::npos) << result.out;
}

}  // namespace
