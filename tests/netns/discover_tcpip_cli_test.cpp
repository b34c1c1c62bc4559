// `-D -t TCPIP` as a user runs it, inside the private namespace of tools/netns/netns-run:
// simulated Ethernet modules are found by multicast, connected one by one and printed
// with what they report.
#include <gtest/gtest.h>

#include "device_table.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "updater_cli.h"

using testsupport::ModsimProcess;
using testsupport::TempDir;
using testsupport::withSortedDeviceRows;
namespace cli_text = testsupport::cli_text;

namespace {

const std::string kTcpipTitle =
    "Searching for Corvalith devices\n"
    "Discovered Devices: (TCPIP)\n";
const std::string kTcpipHeading = std::string(testsupport::kDeviceHeading) + "   [IP address]\n";

class DiscoverTcpip : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
    }
};

TEST_F(DiscoverTcpip, ListsEachModuleWithItsOwnAnswers) {
    TempDir dir;
    ModsimProcess a(dir.path(),
                    {"--tcp", "127.0.0.2:0", "--discovery", "--serial", "0000A001", "--model", "13", "--address", "4",
                     "--version", "2300002A", "--build", "12345"},
                    "a");
    // Its router setting differs from its own address: the row shows what the module answers.
    ModsimProcess b(dir.path(),
                    {"--tcp", "127.0.0.3:0", "--discovery", "--serial", "0000B002", "--model", "26", "--address", "8",
                     "--router", "10", "--version", "1F000007", "--build", "4000000000"},
                    "b");
    // Answers discovery but names a port where nothing listens: the connection is refused.
    ModsimProcess refusing(dir.path(),
                           {"--tcp", "127.0.0.4:0", "--discovery", "--tcp-port", "1", "--serial", "0000C003", "--model",
                            "19", "--address", "6"},
                           "c");
    ASSERT_TRUE(a.ready() && b.ready() && refusing.ready());

    TempDir store;
    const auto result = testsupport::runUpdater(store, {"-D", "-t", "TCPIP"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // A refused TCP/IP module keeps what discovery told and shows no version or build.
    const std::string expected = cli_text::kVersion + kTcpipTitle + kTcpipHeading +
                                 "    0000A001  04       04      Drennic        2.3.42 (12345) [127.0.0.2]\n"
                                 "    0000B002  08       0A      Krowle         1.15.7 (4000000000) [127.0.0.3]\n"
                                 "    0000C003  06       06      Hallvex        0.0.0 (0) [127.0.0.4]\n";
    EXPECT_EQ(withSortedDeviceRows(result.out), expected);
    EXPECT_EQ(result.out.size(), expected.size());
    EXPECT_EQ(result.err, "");
}

TEST_F(DiscoverTcpip, NoModuleAnswering) {
    TempDir store;
    const auto result = testsupport::runUpdater(store, {"-D", "-t", "TCP"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, cli_text::kVersion + kTcpipTitle + "    No devices found.\n");
}

}  // namespace
