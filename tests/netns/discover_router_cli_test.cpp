// `-D -r` as a user runs it, inside the private namespace of tools/netns/netns-run: the
// router is found by discovery and the modules on its I2C network are listed.
#include <gtest/gtest.h>

#include "device_table.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "updater_cli.h"

using testsupport::ModsimProcess;
using testsupport::TempDir;
namespace cli_text = testsupport::cli_text;

namespace {

class DiscoverRouter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace()) GTEST_SKIP() << "refusing to send multicast outside the test namespace";
    }
};

// Without -t the router is looked for on USB, then on TCP/IP; another module answering
// is no router, and nothing but the empty table is printed.
TEST_F(DiscoverRouter, RouterOnNeitherTransport) {
    TempDir dir;
    ModsimProcess other(dir.path(), {"--tcp", "127.0.0.2:0", "--discovery", "--serial", "0000A001"}, "other");
    ASSERT_TRUE(other.ready());
    TempDir store;
    const auto result = testsupport::runUpdater(store, {"-D", "-r", "D272031D"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, cli_text::kVersion +
                              "Searching for Corvalith Network devices connected to D272031D\n"
                              "Discovered Devices: (Unknown)\n"
                              "    No devices found.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(other.countInLog("ev connect"), 0u);
}

}  // namespace
