// A download that brings a damaged firmware file never replaces the good file of that build
// in the store: the simulated update server first sends build 101 whole, then damaged; the
// second -G ends with a reason and exit 1, the stored file and its record stay as they were,
// and the module (found by network discovery inside the test namespace) is still updated
// from the stored file.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "firmware_update.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "test_namespace.h"
#include "update_server_sim.h"

using namespace std::chrono_literals;
using testsupport::FirmwareFile;
using testsupport::patternBytes;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::TempDir;

namespace {

const char* const SERIAL = "0000CAFE";

struct DamageCase {
    const char* name;
    std::vector<testsupport::ImageBlock> firmware;
    std::vector<std::string> builderArgs;
    const char* reason;
};

void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << c.name;
}

class DownloadDamagedBuild : public ::testing::TestWithParam<DamageCase> {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
        testsupport::writeFixture(fixtures.path(), device("latest.txt"), "101\nmodfirm\n");
        testsupport::writeFixture(fixtures.path(), device("builds.txt"), "101;1.0.1\n");
        FirmwareFile good = file({{0x4000, goodImage()}}, {});
        testsupport::writeFixture(fixtures.path(), device("101.trel"),
                                  readWholeFile(testsupport::writeFirmwareFile(dir.file("good.trel"), good)));
        server = std::make_unique<testsupport::UpdateServerSim>(fixtures.path());
        ASSERT_FALSE(server->url().empty());
    }

    static std::string device(const std::string& name) { return std::string(SERIAL) + "/" + name; }
    static std::string goodImage() { return patternBytes(900, 101); }

    static FirmwareFile file(std::vector<testsupport::ImageBlock> firmware, std::vector<std::string> extra) {
        FirmwareFile built;
        built.build = "101";
        built.serial = SERIAL;
        built.model = "Hallvex";
        built.firmware = std::move(firmware);
        built.extraArgs = std::move(extra);
        return built;
    }

    ProcessResult run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u", server->url()};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::runProcess(argv, 60s, {"HOME=" + store.path()});
    }

    std::string stored(const std::string& name) const {
        return testsupport::readFileOrEmpty(store.path() + "/updater/" + SERIAL + "/" + name);
    }

    TempDir fixtures;
    TempDir dir;
    TempDir store;
    std::unique_ptr<testsupport::UpdateServerSim> server;
};

TEST_P(DownloadDamagedBuild, LeavesTheGoodStoredFileAndItsRecord) {
    const DamageCase& c = GetParam();
    const ProcessResult first = run({"-G", "-d", SERIAL, "-b", "101"});
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    const std::string goodFile = stored("101.trel");
    const std::string goodRecord = stored(".settings");
    ASSERT_EQ(goodFile, readWholeFile(dir.file("good.trel")));

    const std::string damaged = testsupport::writeFirmwareFile(dir.file("damaged.trel"), file(c.firmware, c.builderArgs));
    testsupport::writeFixture(fixtures.path(), device("101.trel"), readWholeFile(damaged));
    const ProcessResult again = run({"-G", "-d", SERIAL, "-b", "101"});
    EXPECT_EQ(again.exitCode, 1) << again.out << again.err;
    EXPECT_EQ(again.err, std::string("Failed to retrieve a valid TREL file\n"
                                     "Build 101 from the server is no valid firmware file: ") +
                             c.reason + "\n");
    EXPECT_EQ(stored("101.trel"), goodFile);
    EXPECT_EQ(stored(".settings"), goodRecord);

    testsupport::ModsimProcess module(dir.path(),
                                      std::vector<std::string>{"--tcp", "127.0.0.2:0", "--discovery", "--serial", SERIAL,
                                                               "--model", "19", "--dump-image", dir.file("image.bin")});
    ASSERT_TRUE(module.ready());
    const ProcessResult update = run({"-U", "-d", SERIAL, "-b", "101"});
    EXPECT_EQ(update.exitCode, 0) << update.out << update.err;
    EXPECT_EQ(testsupport::readFileOrEmpty(dir.file("image.bin")), goodImage());
}

// After the second firmware block's header: its 34 bytes, the info block (69) and the
// checksum word (4).
INSTANTIATE_TEST_SUITE_P(
    Download, DownloadDamagedBuild,
    ::testing::Values(
        DamageCase{"BlockPastItsPayload",
                   {{0x4000, patternBytes(900, 7)}, {0x6000, patternBytes(30, 8)}},
                   {"--claim-length", "2=5000"},
                   "block 3 of the firmware file (a firmware block) claims 5000 bytes, but only 107 remain in the file"},
        DamageCase{"NoFirmwareBlock", {}, {}, "the firmware file holds no firmware to write"},
        DamageCase{"OnlyTheAddressOfAnImage",
                   {},
                   {"--firmware-block", "0x4000:"},
                   "the firmware file holds no firmware to write"}),
    [](const ::testing::TestParamInfo<DamageCase>& c) { return std::string(c.param.name); });

}  // namespace
