// A server that refuses a request says why on the lines after its first one, and the tool
// passes that reason on: after its own message comes "Reason: ", what the server answered
// first and the reason it gave; the exit code stays what it was. A build list that could
// not be fetched is said so after the empty table on standard output too. Against the
// simulated update server on loopback, which answers "error" and a reason to a request its
// fixtures cannot answer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"
#include "update_server_sim.h"
#include "updater_cli.h"

using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::UpdateServerSim;
using testsupport::cli_text::kVersion;

namespace {

// Known to the server: a latest build but neither a build list nor a token.
const char* const HALF_KNOWN = "0000C0DE";
// Unknown to the server.
const char* const UNKNOWN = "0000BEEF";

struct RefusalCase {
    const char* name;
    std::vector<std::string> command;
    std::string out;  // after the version line
    std::string err;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class ServerRefusal : public ::testing::TestWithParam<RefusalCase> {
protected:
    void SetUp() override {
        testsupport::writeFixture(fixtures.path(), std::string(HALF_KNOWN) + "/latest.txt", "2001\nhallvex-main\n");
        server = std::make_unique<UpdateServerSim>(fixtures.path());
        ASSERT_FALSE(server->url().empty());
    }

    TempDir fixtures;
    TempDir store;
    std::unique_ptr<UpdateServerSim> server;
};

TEST_P(ServerRefusal, ReasonFollowsTheMessage) {
    const RefusalCase& c = GetParam();
    std::vector<std::string> argv{testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u", server->url()};
    argv.insert(argv.end(), c.command.begin(), c.command.end());
    const ProcessResult result = testsupport::runProcess(argv, std::chrono::seconds(40), {"HOME=" + store.path()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, kVersion + c.out);
    EXPECT_EQ(result.err, c.err);
}

const std::string kUnknownDevice = "the server did not accept the request (error): unknown device";

INSTANTIATE_TEST_SUITE_P(
    Refused, ServerRefusal,
    ::testing::Values(
        RefusalCase{"BuildList",
                    {"-B", "-d", UNKNOWN},
                    "No builds found for device [0000BEEF]\nReason: the update server gave no build list: " +
                        kUnknownDevice + "\n",
                    "Failed to retrieve builds for 0000BEEF\nReason: " + kUnknownDevice + "\n"},
        RefusalCase{"Token",
                    {"-J", "-d", HALF_KNOWN},
                    "\n",
                    "Failed to retrieve jwt for 0000C0DE\nReason: the server did not accept the request (error): "
                    "no token\n"},
        RefusalCase{"LatestBuild",
                    {"-G", "-d", UNKNOWN},
                    "Retrieving firmware for device with serial number 0000BEEF\nNo build specified\nUsing Latest "
                    "build\n",
                    "No build information for device\nReason: " + kUnknownDevice + "\n"},
        // The latest build is known, the list to check the build against is not.
        RefusalCase{"BuildCheck",
                    {"-G", "-d", HALF_KNOWN, "-b", "77"},
                    "Retrieving firmware for device with serial number 0000C0DE\nRetrieving firmware build 77\n"
                    "Retrieving build 77\nValidating build 77 with server\n",
                    "No valid build 77\nReason: " + kUnknownDevice + "\n"}),
    [](const ::testing::TestParamInfo<RefusalCase>& caseInfo) { return std::string(caseInfo.param.name); });

// A build the server's list lacks is no failure of the request: nothing follows the message.
TEST_F(ServerRefusal, BuildMissingFromTheListHasNoServerReason) {
    testsupport::writeFixture(fixtures.path(), std::string(HALF_KNOWN) + "/builds.txt", "2001;1.4.0\n");
    const ProcessResult result = testsupport::runProcess({testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(),
                                                          "-u", server->url(), "-G", "-d", HALF_KNOWN, "-b", "77"},
                                                         std::chrono::seconds(40), {"HOME=" + store.path()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "No valid build 77\n");
}

}  // namespace
