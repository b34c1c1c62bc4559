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
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
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

struct RouterRun {
    const char* name;
    std::vector<std::string> args;
    const char* title;
};

void PrintTo(const RouterRun& run, std::ostream* os) {
    *os << run.name;
}

class DiscoverRouterTcpip : public DiscoverRouter, public ::testing::WithParamInterface<RouterRun> {};

// The table's title names the kind searched; the rows are TCP/IP rows, as the router is
// reached, with the router's IP address. The module at 6 acknowledges the probe but
// answers nothing after it, so it is left out without a word.
TEST_P(DiscoverRouterTcpip, ListsTheModulesOnTheRoutersNetwork) {
    TempDir dir;
    ModsimProcess router(dir.path(),
                         {"--tcp", "127.0.0.2:0", "--discovery", "--serial", "D272031D", "--model", "13", "--address",
                          "2", "--router-module", "4:0B0B0004:19:1111:2100000C", "--router-module", "6:0D0D0006:21",
                          "--router-module", "8:0C0C0008:26:4000000000:2300002A"},
                         "router");
    ASSERT_TRUE(router.ready());
    ASSERT_EQ(router.control("fault refuse on 6"), "ok");
    TempDir store;
    std::vector<std::string> args{"-D", "-r", "D272031D"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const auto result = testsupport::runUpdater(store, args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, cli_text::kVersion + "Searching for Corvalith Network devices connected to D272031D\n" +
                              GetParam().title + testsupport::kDeviceHeading + "   [IP address]\n" +
                              "    0B0B0004  04       02      Hallvex        2.1.12 (1111) [127.0.0.2]\n"
                              "    0C0C0008  08       02      Krowle         2.3.42 (4000000000) [127.0.0.2]\n");
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(Runs, DiscoverRouterTcpip,
                         ::testing::Values(RouterRun{"Tcpip", {"-t", "TCPIP"}, "Discovered Devices: (TCPIP)\n"},
                                           RouterRun{"FoundByDiscovery", {}, "Discovered Devices: (Unknown)\n"}),
                         [](const ::testing::TestParamInfo<RouterRun>& run) { return std::string(run.param.name); });

}  // namespace
