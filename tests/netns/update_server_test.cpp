// `-G -U` and `-U` without a file: the build comes from the simulated update server or
// from the store's records, and the module (found by network discovery inside the test
// namespace) receives exactly that build's firmware.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "firmware_update.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "update_server_sim.h"
#include "updater_cli.h"

using namespace std::chrono_literals;
using testsupport::FirmwareFile;
using testsupport::ModsimProcess;
using testsupport::patternBytes;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::TempDir;

using testsupport::fileExists;

namespace {

const char* const SERIAL = "0000CAFE";

class UpdateServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
        const std::string device = std::string(SERIAL) + "/";
        testsupport::writeFixture(fixtures.path(), device + "latest.txt", "1234\nmodfirm\n");
        testsupport::writeFixture(fixtures.path(), device + "builds.txt", "1100;1.1.9\n1234;1.3.0\n");
        for (const auto& build : {std::string("1100"), std::string("1234")})
            testsupport::writeFixture(fixtures.path(), device + build + ".trel", readWholeFile(writeBuild(build)));
        server = std::make_unique<testsupport::UpdateServerSim>(fixtures.path());
        ASSERT_FALSE(server->url().empty());
        module = std::make_unique<ModsimProcess>(
            dir.path(), std::vector<std::string>{"--tcp", "127.0.0.2:0", "--discovery", "--serial", SERIAL, "--model",
                                                 "19", "--dump-image", dumpPath()});
        ASSERT_TRUE(module->ready());
    }

    // Each build carries firmware of its own, so the module's image tells which one came.
    static std::string firmwareOf(const std::string& build) { return patternBytes(300, std::stoul(build)); }

    std::string writeBuild(const std::string& build) {
        FirmwareFile file;
        file.build = build;
        file.serial = SERIAL;
        file.model = "Hallvex";
        file.firmware = {{0x4000, firmwareOf(build)}};
        return testsupport::writeFirmwareFile(dir.file(build + ".trel"), file);
    }

    ProcessResult run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u", server->url()};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::runProcess(argv, 60s, {"HOME=" + store.path()});
    }

    size_t firmwareRequests() const {
        size_t count = 0;
        for (const auto& request : server->requests()) count += request.find("op=trel") != std::string::npos;
        return count;
    }
    std::string dumpPath() const { return dir.file("image.bin"); }
    std::string received() const { return fileExists(dumpPath()) ? readWholeFile(dumpPath()) : ""; }
    std::string settings() const { return readWholeFile(store.path() + "/updater/" + SERIAL + "/.settings"); }

    TempDir fixtures;
    TempDir dir;
    TempDir store;
    std::unique_ptr<testsupport::UpdateServerSim> server;
    std::unique_ptr<ModsimProcess> module;
};

struct GetUpdateCase {
    const char* name;
    std::vector<std::string> args;
    const char* build;
};

void PrintTo(const GetUpdateCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateServerGet : public UpdateServer, public ::testing::WithParamInterface<GetUpdateCase> {};

// -G fetches the build into the store and -U installs exactly that build.
TEST_P(UpdateServerGet, InstallsTheBuildThatWasFetched) {
    const GetUpdateCase& c = GetParam();
    std::vector<std::string> args{"-G", "-U", "-d", SERIAL};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = run(args);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find(std::string("Updating firmware with build: ") + c.build + "\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(received(), firmwareOf(c.build));
    const std::string recorded = settings();
    EXPECT_NE(recorded.find(std::string("LATEST_DOWNLOAD=") + c.build + ".trel\n"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find(std::string("LATEST_TRANSFER=") + c.build + ".trel\n"), std::string::npos) << recorded;
}

INSTANTIATE_TEST_SUITE_P(Update, UpdateServerGet,
                         ::testing::Values(GetUpdateCase{"Latest", {}, "1234"},
                                           GetUpdateCase{"GivenBuild", {"-b", "1100"}, "1100"}),
                         [](const ::testing::TestParamInfo<GetUpdateCase>& c) { return std::string(c.param.name); });

// Neither -b nor -f: the server's latest build is not in the store, so the update goes on
// with the build downloaded last, and starts no download of its own.
TEST_F(UpdateServer, WithoutBuildOrFileTakesTheLatestDownload) {
    ASSERT_EQ(run({"-G", "-d", SERIAL, "-b", "1100"}).exitCode, 0);
    const auto result = run({"-U", "-d", SERIAL});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("New firmware is available.  Updater will proceed if valid firmware is found locally.\n"
                              "Updating with the Latest Download\n"
                              "Updating firmware with build: 1100\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(received(), firmwareOf("1100"));
    EXPECT_EQ(firmwareRequests(), 1u);
    EXPECT_FALSE(fileExists(store.path() + "/updater/" + SERIAL + "/1234.trel"));
}

// With -b and the file missing from the store, -U alone downloads nothing and fails.
TEST_F(UpdateServer, AGivenBuildMissingFromTheStoreFails) {
    const auto result = run({"-U", "-d", SERIAL, "-b", "1100"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Failed to load trel file\n"), std::string::npos) << result.err;
    EXPECT_EQ(received(), "");
}

}  // namespace
