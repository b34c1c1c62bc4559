// `-D` as a user runs it, with modules on the emulated USB bus: the updater runs under the
// test bed program, each device bridged to a simulated module, and prints the USB table.
#include <gtest/gtest.h>

#include <memory>

#include "device_table.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "updater_cli.h"

using testsupport::ModsimProcess;
using testsupport::TempDir;
using testsupport::withSortedDeviceRows;
namespace cli_text = testsupport::cli_text;

namespace {

const std::string kUsbTable = std::string("Searching for Corvalith devices\n") + "Discovered Devices: (USB)\n" +
                              testsupport::kDeviceHeading + "\n";

std::string usbbedPath() {
    return testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed";
}

struct DiscoverRun {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const DiscoverRun& run, std::ostream* os) {
    *os << run.name;
}

class DiscoverUsb : public ::testing::TestWithParam<DiscoverRun> {
protected:
    // A simulated module behind an emulated device; its bed argument goes into `bedArgs`.
    ModsimProcess& addModule(const std::string& serial, int model, std::vector<std::string> args) {
        const std::string socketPath = dir.file(serial + ".sock");
        args.insert(args.begin(), {"--unix", socketPath, "--serial", serial, "--model", std::to_string(model)});
        modules.push_back(std::make_unique<ModsimProcess>(dir.path(), args, serial));
        bedArgs.insert(bedArgs.end(), {"--device", "serial=" + serial + ",model=" + std::to_string(model) +
                                                       ",bridge=unix:" + socketPath});
        return *modules.back();
    }

    testsupport::ProcessResult runUnderBed(const std::vector<std::string>& args) {
        std::vector<std::string> argv{usbbedPath()};
        argv.insert(argv.end(), bedArgs.begin(), bedArgs.end());
        argv.insert(argv.end(), {"--", testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u",
                                 testsupport::kUnreachableServer});
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::runProcess(argv, std::chrono::seconds(30), {"HOME=" + store.path()});
    }

    TempDir dir;
    TempDir store;
    std::vector<std::unique_ptr<ModsimProcess>> modules;
    std::vector<std::string> bedArgs;
};

// Without -t, -D searches USB only, as with -t USB.
TEST_P(DiscoverUsb, ListsModulesAndTheOneThatRefusesItsConnection) {
    ASSERT_TRUE(addModule("0000CAFE", 19, {"--address", "6", "--version", "2300002A", "--build", "4242"}).ready());
    ASSERT_TRUE(addModule("0000BEE5", 21, {"--address", "4", "--router", "2", "--version", "11000000"}).ready());
    ModsimProcess& refusing = addModule("0000D00D", 22, {});
    ASSERT_TRUE(refusing.ready());
    ASSERT_EQ(refusing.control("fault refuse on"), "ok");

    const auto result = runUnderBed(GetParam().args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // A module that closes every connection gives the error row; the others their own answers.
    const std::string expected = cli_text::kVersion + kUsbTable +
                                 "    0000BEE5  04       02      Pellion        1.1.0 (0)\n"
                                 "    0000CAFE  06       06      Hallvex        2.3.42 (4242)\n"
                                 "    0000D00D  [Error (25): Is someone else connected to this device?]\n";
    EXPECT_EQ(withSortedDeviceRows(result.out), expected);
    EXPECT_EQ(result.out.size(), expected.size());
}

INSTANTIATE_TEST_SUITE_P(Runs, DiscoverUsb,
                         ::testing::Values(DiscoverRun{"Plain", {"-D"}}, DiscoverRun{"Usb", {"-D", "-t", "USB"}}),
                         [](const ::testing::TestParamInfo<DiscoverRun>& run) { return std::string(run.param.name); });

TEST(DiscoverUsbEmpty, NoModuleOnTheBus) {
    TempDir store;
    const auto result = testsupport::runProcess({usbbedPath(), "--", testsupport::requiredEnv("UPDATER_BIN"), "-i",
                                                 store.path(), "-u", testsupport::kUnreachableServer, "-D"},
                                                std::chrono::seconds(30), {"HOME=" + store.path()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, cli_text::kVersion +
                              "Searching for Corvalith devices\nDiscovered Devices: (USB)\n"
                              "    No devices found.\n");
}

}  // namespace
