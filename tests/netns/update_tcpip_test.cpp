// `-U` over TCP/IP as a user runs it: the updater finds the simulated module by network
// discovery inside the private namespace of tools/netns/netns-run, sends the loader and
// the firmware, and the module's received image is compared with the file's blocks.
#include <gtest/gtest.h>

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
using testsupport::ImageBlock;
using testsupport::ModsimProcess;
using testsupport::patternBytes;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::TempDir;

using testsupport::fileExists;

namespace {

const char* const SERIAL = "0000CAFE";
const char* const MODEL = "19";
const char* const MODEL_NAME = "Hallvex";

class UpdateTcpip : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_SKIP() << "refusing to send multicast outside the test namespace";
        file.serial = SERIAL;
        file.model = MODEL_NAME;
        file.firmware = {{0x4000, patternBytes(1300, 1)}, {0x8000, patternBytes(60, 2)}};
    }

    // The module, listening on 127.0.0.2 and answering discovery; `args` add to its options.
    ModsimProcess& startModule(const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv{"--tcp", "127.0.0.2:0", "--discovery", "--serial",     SERIAL,    "--model",
                                      MODEL,   "--load-way",  "reconnect",   "--dump-image", dumpPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        module = std::make_unique<ModsimProcess>(dir.path(), argv);
        EXPECT_TRUE(module->ready());
        return *module;
    }

    ProcessResult update(const std::vector<std::string>& args) {
        std::vector<std::string> argv{testsupport::requiredEnv("UPDATER_BIN"), "-i", store.path(), "-u",
                                      testsupport::kUnreachableServer,         "-U", "-d",         SERIAL};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::runProcess(argv, 60s, {"HOME=" + store.path()});
    }

    std::string writeFile(const std::string& name) { return testsupport::writeFirmwareFile(dir.file(name), file); }
    std::string dumpPath() const { return dir.file("image.bin"); }
    std::string settingsPath() const { return store.path() + "/updater/" + SERIAL + "/.settings"; }
    std::string settings() const { return fileExists(settingsPath()) ? readWholeFile(settingsPath()) : ""; }

    TempDir dir;
    TempDir store;
    FirmwareFile file;
    std::unique_ptr<ModsimProcess> module;
};

TEST_F(UpdateTcpip, SendsTheFileAndRecordsTheTransfer) {
    startModule({"--piece-size", "256"});
    const std::string path = writeFile("fw.trel");
    const auto result = update({"-f", path});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;

    const std::string expected = testsupport::cli_text::kVersion + "Updating from Trelfile: " + path +
                                 "\n"
                                 "Transferring loader to device\n"
                                 "Transferring loader block 1 of 1, 44 bytes\n"
                                 "Transferred 1 blocks, 44 total bytes\n"
                                 "Starting Load on Device\n"
                                 "Transferring firmware block 1 of 2, 1304 bytes\n"
                                 "Transferring firmware block 2 of 2, 64 bytes\n"
                                 "Transferred 2 blocks, 1368 total bytes\n"
                                 "Update time: ";
    EXPECT_EQ(result.out.substr(0, expected.size()), expected);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readWholeFile(dumpPath()), testsupport::imageOf(file.firmware));
    // 1300 bytes in pieces of 256: five full pieces and one of 20, each summed and written.
    EXPECT_TRUE(module->waitForLog("ev loader 0x02 write 20 at 0x00004500"));
    EXPECT_EQ(module->countInLog("ev loader 0x02 write 256 at 0x00004000"), 1u);

    const std::string recorded = settings();
    EXPECT_NE(recorded.find("LATEST_TRANSFER=" + path + "\n"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find("LAST_TRANSFER_DATE="), std::string::npos) << recorded;
}

// A generic file takes the module's serial number before it is sent; its own is not compared.
TEST_F(UpdateTcpip, PatchesTheSerialNumberIntoAGenericFile) {
    startModule();
    file.serial = "00000000";
    file.firmware = {{0x4000, std::string(64, '\0')}};
    file.extraArgs = {"--serial-offsets", "0x4010:0"};
    const auto result = update({"-f", writeFile("generic.trel")});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    std::string patched(64, '\0');
    patched.replace(0x10, 4, std::string("\xFE\xCA\x00\x00", 4));
    EXPECT_EQ(readWholeFile(dumpPath()), patched);
}

struct ValidationCase {
    const char* name;
    const char* serial;
    const char* model;
    bool override;
};

void PrintTo(const ValidationCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateTcpipValidation : public UpdateTcpip, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(UpdateTcpipValidation, OverrideAloneLetsAnotherModulesFileThrough) {
    const ValidationCase& c = GetParam();
    startModule();
    file.serial = c.serial;
    file.model = c.model;
    std::vector<std::string> args{"-f", writeFile("other.trel")};
    if (c.override) args.push_back("-OVERRIDE");
    const auto result = update(args);
    if (c.override) {
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_EQ(readWholeFile(dumpPath()), testsupport::imageOf(file.firmware));
        return;
    }
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Trelfile failed validation\n"), std::string::npos) << result.err;
    EXPECT_EQ(module->countInLog("ev loader 0x02 init"), 0u);
    EXPECT_EQ(settings().find("LATEST_TRANSFER"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Update, UpdateTcpipValidation,
                         ::testing::Values(ValidationCase{"OtherSerial", "0000BEEF", "Hallvex", false},
                                           ValidationCase{"OtherModel", "0000CAFE", "Pellion", false},
                                           ValidationCase{"OtherSerialOverride", "0000BEEF", "Hallvex", true},
                                           ValidationCase{"OtherModelOverride", "0000CAFE", "Pellion", true}),
                         [](const ::testing::TestParamInfo<ValidationCase>& c) { return std::string(c.param.name); });

struct NothingToWriteCase {
    const char* name;
    std::vector<std::string> builderArgs;
    bool override;
};

void PrintTo(const NothingToWriteCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateTcpipNothingToWrite : public UpdateTcpip, public ::testing::WithParamInterface<NothingToWriteCase> {};

// A file that would have the loader write nothing, or only part of the firmware, is
// refused before the module is touched.
TEST_P(UpdateTcpipNothingToWrite, IsRefusedBeforeTheLoaderStarts) {
    const NothingToWriteCase& c = GetParam();
    startModule();
    const std::string path = testsupport::buildTrel(dir.file("nothing.trel"), c.builderArgs);
    std::vector<std::string> args{"-f", path};
    if (c.override) args.push_back("-OVERRIDE");
    const auto result = update(args);
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_NE(result.err.find("Trelfile holds no complete firmware to write\n"), std::string::npos) << result.err;
    EXPECT_EQ(module->countInLog("ev loader 0x02 init"), 0u);
    EXPECT_FALSE(fileExists(dumpPath()));
    EXPECT_EQ(settings().find("LATEST_TRANSFER"), std::string::npos);
}

const std::string kLoader = "0x10000000:" + testsupport::hexOf(patternBytes(40, 99));
const std::string kImage = "0x4000:" + testsupport::hexOf(patternBytes(1300, 1));
const std::string kTail = "0x8000:" + testsupport::hexOf(patternBytes(60, 2));

INSTANTIATE_TEST_SUITE_P(
    Update, UpdateTcpipNothingToWrite,
    ::testing::Values(
        NothingToWriteCase{"InfoOnly", {"--info", "1234", "1.3.0", SERIAL, MODEL_NAME}, false},
        NothingToWriteCase{
            "LoaderAndInfoOnly", {"--loader-block", kLoader, "--info", "1234", "1.3.0", SERIAL, MODEL_NAME}, false},
        NothingToWriteCase{
            "AddressWithoutImage",
            {"--loader-block", kLoader, "--firmware-block", "0x4000:", "--info", "1234", "1.3.0", SERIAL, MODEL_NAME},
            false},
        NothingToWriteCase{"FirmwareCutShortOverride",
                           {"--loader-block", kLoader, "--firmware-block", kImage, "--claim-length", "1=5000"},
                           true},
        NothingToWriteCase{"SecondBlockCutShortOverride",
                           {"--loader-block", kLoader, "--firmware-block", kImage, "--firmware-block", kTail,
                            "--claim-length", "2=5000"},
                           true}),
    [](const ::testing::TestParamInfo<NothingToWriteCase>& c) { return std::string(c.param.name); });

TEST_F(UpdateTcpip, ModelMismatchIsNamed) {
    startModule();
    file.model = "Pellion";
    const auto result = update({"-f", writeFile("pellion.trel")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Connected device model and Trel file model do not match [Hallvex] (0)\n"),
              std::string::npos)
        << result.err;
}

// The link breaks in the middle of the first firmware block; the retry reconnects where
// the module was found and sends the whole block again.
TEST_F(UpdateTcpip, ALinkLostInsideABlockIsMendedByTheRetry) {
    ModsimProcess& sim = startModule();
    // Two loader chunks, then 28 of the first firmware block's 50.
    ASSERT_EQ(sim.control("fault loader drop-after 30"), "ok");
    const auto result = update({"-f", writeFile("fw.trel")});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Transferring firmware block 1 of 2, 1304 bytes\n  Retry 1\n"), std::string::npos)
        << result.out;
    EXPECT_TRUE(sim.waitForLog("ev loader 0x02 fault drop-after"));
    EXPECT_EQ(readWholeFile(dumpPath()), testsupport::imageOf(file.firmware));
    EXPECT_NE(settings().find("LATEST_TRANSFER="), std::string::npos);
}

// The same fault in the loader stage: the loader is never started with a block missing.
TEST_F(UpdateTcpip, AnIncompleteLoaderIsNeverStarted) {
    ModsimProcess& sim = startModule();
    ASSERT_EQ(sim.control("fault loader drop-after 1"), "ok");
    const auto result = update({"-f", writeFile("fw.trel"), "-X", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("Error loader transfer [24, "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Failed _transfer_firmware(): 24\n"), std::string::npos) << result.err;
    for (const auto& line : sim.logLines()) EXPECT_EQ(line.find("ev loader 0x02 load "), std::string::npos) << line;
    EXPECT_EQ(settings().find("LATEST_TRANSFER"), std::string::npos);
}

// After LOAD the module never listens again: the loader start gives up after its
// reconnects, the reconnection after it too, and the firmware stage fails at once.
TEST_F(UpdateTcpip, AModuleGoneAfterLoadFailsInBoundedTime) {
    startModule({"--load-way", "gone"});
    const auto started = std::chrono::steady_clock::now();
    const auto result = update({"-f", writeFile("fw.trel"), "-X", "1"});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(took, 45s);
    EXPECT_NE(result.err.find("Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("Error firmware transfer init: [25, "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Error firmware transfer block failed.\n"), std::string::npos);
    EXPECT_NE(result.err.find("Failed _transfer_firmware(): 25\n"), std::string::npos);
    EXPECT_NE(result.out.find("Transferred 0 blocks, 0 total bytes\n"), std::string::npos) << result.out;
    EXPECT_FALSE(fileExists(dumpPath()));
    EXPECT_EQ(settings().find("LATEST_TRANSFER"), std::string::npos);
}

}  // namespace
