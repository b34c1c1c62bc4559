// An update server that cannot be reached is named with the reason, on the line after
// the tool's own message: refused, not found with its HTTP status, or an unknown host.
// Inside the test namespace, so that resolving a host name cannot reach a real network.
#include <gtest/gtest.h>

#include <memory>

#include "process.h"
#include "refusing_port.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "update_server_sim.h"
#include "updater_cli.h"

using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::UpdateServerSim;

namespace {

const char* const SERIAL = "40F5849A";

enum class Peer { Refusing, WrongPath, Failing, NoSuchHost, Declining };

struct ReasonCase {
    const char* name;
    Peer peer;
    std::vector<std::string> command;
    std::string reason;
};

void PrintTo(const ReasonCase& c, std::ostream* os) {
    *os << c.name;
}

class ServerReason : public ::testing::TestWithParam<ReasonCase> {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace()) GTEST_SKIP() << "name lookups stay inside the test namespace";
        testsupport::writeFixture(fixtures.path(), std::string(SERIAL) + "/latest.txt", "1234\nmodfirm\n");
    }

    std::string serve(const std::vector<std::string>& options) {
        server = std::make_unique<UpdateServerSim>(fixtures.path(), options);
        return server->url();
    }

    std::string urlFor(Peer peer) {
        switch (peer) {
        case Peer::Refusing:
            return port.url();
        case Peer::WrongPath: {
            // The server answers /other only: /cgi/u is not found there.
            const std::string other = serve({"--path", "/other"});
            return other.substr(0, other.rfind("/other")) + "/cgi/u";
        }
        case Peer::Failing:
            return serve({"--fault", "status500"});
        case Peer::NoSuchHost:
            return "http://updates.invalid/cgi/u";
        case Peer::Declining:
            return serve({"--ok-line", "denied"});
        }
        return "";
    }

    TempDir fixtures;
    TempDir store;
    testsupport::RefusingPort port;
    std::unique_ptr<UpdateServerSim> server;
};

TEST_P(ServerReason, FollowsTheFailureMessage) {
    const ReasonCase& c = GetParam();
    const std::string url = urlFor(c.peer);
    std::vector<std::string> argv{testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u", url};
    argv.insert(argv.end(), c.command.begin(), c.command.end());
    const ProcessResult result = testsupport::runProcess(argv, std::chrono::seconds(40), {"HOME=" + store.path()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Server request failed for " + url + "\nReason: " + c.reason + "\n"), std::string::npos)
        << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Unreachable, ServerReason,
    ::testing::Values(ReasonCase{"Refused", Peer::Refusing, {"-B", "-d", SERIAL}, "connection refused"},
                      ReasonCase{"NotFound", Peer::WrongPath, {"-J", "-d", SERIAL}, "not found (HTTP 404)"},
                      ReasonCase{"ServerError", Peer::Failing, {"-G", "-d", SERIAL}, "HTTP status 500"},
                      ReasonCase{"UnknownHost", Peer::NoSuchHost, {"-B", "-d", SERIAL}, "unknown host updates.invalid"},
                      ReasonCase{"Declined",
                                 Peer::Declining,
                                 {"-B", "-d", SERIAL},
                                 "the server did not accept the request (denied)"}),
    [](const ::testing::TestParamInfo<ReasonCase>& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
