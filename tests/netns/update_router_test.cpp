// `-U -r` as a user runs it: the module sits on the I2C network of a simulated router
// that the updater finds by network discovery inside the test namespace; the module's
// address comes from the router sweep and every packet goes through the router's link.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>

#include "firmware_update.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "updater_cli.h"

using namespace std::chrono_literals;
using testsupport::FirmwareFile;
using testsupport::ModsimProcess;
using testsupport::patternBytes;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::TempDir;

namespace {

const char* const ROUTER = "D272031D";
const char* const SERIAL = "0000BEE5";

class UpdateRouter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
        router = std::make_unique<ModsimProcess>(
            dir.path(), std::vector<std::string>{"--tcp", "127.0.0.2:0", "--discovery", "--serial", ROUTER, "--model",
                                                 "21", "--router-module", "6:0000A0A0:19", "--router-module",
                                                 std::string("10:") + SERIAL + ":19"});
        ASSERT_TRUE(router->ready());
        file.serial = SERIAL;
        file.model = "Hallvex";
        file.firmware = {{0x4000, patternBytes(600, 5)}};
    }

    ProcessResult update(const std::vector<std::string>& args) {
        std::vector<std::string> argv{testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u",
                                      testsupport::kUnreachableServer,         "-U"};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::runProcess(argv, 60s, {"HOME=" + store.path()});
    }

    // What the loader of the module at `address` holds now.
    std::string imageAt(const std::string& address) {
        const std::string path = dir.file("dump-" + address + ".bin");
        EXPECT_EQ(router->control("dump " + path + " " + address).rfind("ok ", 0), 0u);
        return readWholeFile(path);
    }

    TempDir dir;
    TempDir store;
    FirmwareFile file;
    std::unique_ptr<ModsimProcess> router;
};

TEST_F(UpdateRouter, UpdatesTheModuleBehindTheRouter) {
    const auto result =
        update({"-d", SERIAL, "-r", ROUTER, "-f", testsupport::writeFirmwareFile(dir.file("fw.trel"), file)});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Transferred 1 blocks, 604 total bytes\nUpdate time: "), std::string::npos) << result.out;
    EXPECT_TRUE(router->waitForLog("ev loader 0x0A reboot"));
    EXPECT_EQ(imageAt("10"), testsupport::imageOf(file.firmware));
    // The other module on the network heard nothing of it.
    EXPECT_EQ(router->countInLog("ev loader 0x06 init"), 0u);
    const std::string settings = readWholeFile(store.path() + "/updater/" + SERIAL + "/.settings");
    EXPECT_NE(settings.find("LATEST_TRANSFER="), std::string::npos) << settings;
}

TEST_F(UpdateRouter, AModuleMissingFromTheNetworkIsNamed) {
    const auto result =
        update({"-d", "0000F00F", "-r", ROUTER, "-f", testsupport::writeFirmwareFile(dir.file("fw.trel"), file)});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Module address required for indirect firmware update, could not find serial number "
                              "[0x0000F00F] on network\n"),
              std::string::npos)
        << result.err;
}

}  // namespace
