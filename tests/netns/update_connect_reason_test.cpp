// `-U` that cannot reach its module says why after "Failed to connect to module [...]":
// no module answered on USB or to the network discovery, or the module answered discovery
// but its link did not start. Inside the private namespace, since the search sends
// multicast; the module is the simulated one on 127.0.0.2.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "firmware_update.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "updater_cli.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const char* const SERIAL = "0000CAFE";

class ConnectReason : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
        testsupport::FirmwareFile file;
        file.serial = SERIAL;
        file.model = "Hallvex";
        file.firmware = {{0x4000, testsupport::patternBytes(64, 1)}};
        firmware = testsupport::writeFirmwareFile(dir.file("fw.trel"), file);
    }

    ProcessResult update() {
        return testsupport::runProcess({testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u",
                                        testsupport::kUnreachableServer, "-U", "-d", SERIAL, "-f", firmware},
                                       60s, {"HOME=" + store.path()});
    }

    std::string expectedErr(const std::string& reason) const {
        return std::string("Failed to connect to module [") + SERIAL + "]\nReason: " + reason + "\n";
    }

    TempDir dir;
    TempDir store;
    std::string firmware;
};

TEST_F(ConnectReason, NoModuleAnywhere) {
    const ProcessResult result = update();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, expectedErr("no module 0000CAFE answered on USB or on the network: check that it is "
                                      "connected and powered"));
}

TEST_F(ConnectReason, ModuleFoundButItsLinkDoesNotStart) {
    ModsimProcess module(dir.path(), {"--tcp", "127.0.0.2:0", "--discovery", "--serial", SERIAL, "--model", "19"});
    ASSERT_TRUE(module.ready());
    // Answers discovery, then closes every connection at once.
    ASSERT_EQ(module.control("fault refuse on"), "ok");
    const ProcessResult result = update();
    EXPECT_EQ(result.exitCode, 1);
    // The link's own error follows, in words and as its code (which one depends on how far
    // the link got before the connection closed).
    const std::string expected = expectedErr("module 0000CAFE was found, but its link did not start: ");
    const std::string head = expected.substr(0, expected.size() - 1);
    EXPECT_EQ(result.err.substr(0, head.size()), head) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
    EXPECT_NE(result.err.find(" (error "), std::string::npos) << result.err;
}

}  // namespace
