// -N and -U -t RECOVER end to end on an LPC17xx: the updater binary against the simulated
// boot ROM (tools/lpcsim) on a pty and the simulated update server, with firmware files
// made by the independent file builder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "firmware_update.h"
#include "lpcsim_process.h"
#include "process.h"
#include "pty_line.h"
#include "running_process.h"
#include "tempdir.h"
#include "trel_builder.h"
#include "update_server_sim.h"
#include "updater_cli.h"
#include "wait_until.h"
#include "byte_patterns.h"

using testsupport::LpcsimProcess;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::TempDir;
using testsupport::UpdateServerSim;
using testsupport::writeFixture;
using Clock = std::chrono::steady_clock;

namespace {

// The chip's four ID words are the key that unscrambles its firmware.
const char* const CHIP_ID = "0x01020304,0x05060708,0x090A0B0C,0x0D0E0F10";
const char* const KEY = "01020304,05060708,090A0B0C,0D0E0F10";
const char* const FINGERPRINT_LINE = "[ 01020304 05060708 090A0B0C 0D0E0F10 ]";
const char* const SERVER_SERIAL = "40F5849A";
const uint32_t FLASH_SIZE = 0x80000;

// A recovery image: what the file holds in plain, and where it must land in flash.
struct Image {
    std::string path;
    std::vector<std::pair<uint32_t, std::string>> placed;
};

// Block A (10000 bytes at 0x10000) is written in chunks of 4096, 4096 and 1808 bytes (copied
// as 4096, the rest of the copy erased bytes, not what RAM held from the chunk before); block B
// (600 bytes at 0x7D00) lies in sector 7 but its copy, rounded up to 1024 bytes, reaches into
// sector 8; block C holds AA BB CC stored scrambled by hand (AB 13 74 under the key). A block
// with a 4-byte payload closes the list: the block after it is never written.
Image recoveryImage(const TempDir& dir, const std::string& name, uint32_t seed,
                    const std::vector<std::string>& extra = {}) {
    Image image;
    image.path = dir.file(name);
    const std::string a = testsupport::noiseText(10000, seed);
    const std::string b = testsupport::noiseText(600, seed + 1);
    testsupport::writeWholeFile(dir.file(name + ".a"), a);
    testsupport::writeWholeFile(dir.file(name + ".b"), b);
    std::vector<std::string> args = {"--scramble-key",
                                     KEY,
                                     "--firmware-block",
                                     "0x10000:@" + dir.file(name + ".a"),
                                     "--firmware-block",
                                     "0x7D00:@" + dir.file(name + ".b"),
                                     "--raw-block",
                                     "1:00002000AB1374",
                                     "--raw-block",
                                     "1:0000000000000000",
                                     "--raw-block",
                                     "1:00030000DEADBEEF",
                                     "--info",
                                     "1234",
                                     "1.3.0",
                                     SERVER_SERIAL,
                                     "19"};
    args.insert(args.end(), extra.begin(), extra.end());
    testsupport::buildTrel(image.path, args);
    image.placed = {{0x10000, a}, {0x7D00, b}, {0x2000, "\xAA\xBB\xCC"}};
    return image;
}

class RecoverLpc : public ::testing::Test {
protected:
    void startChip(const std::vector<std::string>& extra = {}, const char* id = CHIP_ID) {
        std::vector<std::string> args = {
            "--id", id, "--fill", "0", "--dump", work.file("flash.bin"), "--log", work.file("events.log")};
        args.insert(args.end(), extra.begin(), extra.end());
        chip = std::make_unique<LpcsimProcess>(args);
        ASSERT_FALSE(chip->port().empty());
    }

    std::vector<std::string> updaterArgv(const std::vector<std::string>& args,
                                         const std::string& url = testsupport::kUnreachableServer) const {
        std::vector<std::string> argv = launcher;
        for (const std::string& arg :
             {testsupport::requiredEnv("UPDATER_BIN"), std::string("-i"), store.path(), std::string("-u"), url})
            argv.push_back(arg);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    ProcessResult updater(const std::vector<std::string>& args,
                          const std::string& url = testsupport::kUnreachableServer) {
        const std::vector<std::string> argv = updaterArgv(args, url);
        const auto started = Clock::now();
        ProcessResult result = testsupport::runProcess(argv, std::chrono::seconds(60), {"HOME=" + store.path()});
        elapsed = Clock::now() - started;
        return result;
    }

    // The ISP commands the chip carried out or refused, in order.
    std::vector<std::string> commands() const {
        std::vector<std::string> lines;
        std::ifstream log(work.file("events.log"));
        for (std::string line; std::getline(log, line);) {
            if (line.rfind("command ", 0) == 0) lines.push_back(line.substr(8));
            if (line.rfind("rc ", 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    std::string events() const { return readWholeFile(work.file("events.log")); }

    // Stops the chip and returns its flash.
    std::string flash() {
        EXPECT_EQ(chip->stop(), 0);
        return readWholeFile(work.file("flash.bin"));
    }

    static std::string expectedFlash(const Image& image) {
        std::string flash(FLASH_SIZE, '\xFF');
        for (const auto& [address, bytes] : image.placed) flash.replace(address, bytes.size(), bytes);
        return flash;
    }

    static bool flashEquals(const std::string& actual, const std::string& expected) {
        if (actual.size() != expected.size()) return false;
        for (size_t i = 0; i < actual.size(); ++i) {
            if (actual[i] != expected[i]) {
                ADD_FAILURE() << "flash differs first at 0x" << std::hex << i;
                return false;
            }
        }
        return true;
    }

    TempDir work;
    TempDir store;
    // Runs the updater under another program (as another user, say); empty for none.
    std::vector<std::string> launcher;
    std::unique_ptr<LpcsimProcess> chip;
    Clock::duration elapsed{};
};

const std::vector<std::string> FULL_WRITE = {"N",
                                             "U 23130",
                                             "P 0 29",
                                             "E 0 29",
                                             "A 0",
                                             "W 268439552 4096",
                                             "P 16 16",
                                             "C 65536 268439552 4096",
                                             "W 268439552 4096",
                                             "P 16 16",
                                             "C 69632 268439552 4096",
                                             "W 268439552 4096",
                                             "P 16 16",
                                             "C 73728 268439552 4096",
                                             "W 268439552 1024",
                                             "P 7 8",
                                             "C 32000 268439552 1024",
                                             "W 268439552 256",
                                             "P 2 2",
                                             "C 8192 268439552 256",
                                             "A 1",
                                             "G 0 T"};

TEST_F(RecoverLpc, FingerprintPrintsTheFourIdWordsInTheOrderReceived) {
    startChip({}, "0xCAFEBABE,1,0x7FFFFFFF,0x12345678");
    const ProcessResult result = updater({"-N", "-s", chip->port()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, testsupport::cli_text::kVersion + "[ CAFEBABE 00000001 7FFFFFFF 12345678 ]\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(commands(), std::vector<std::string>{"N"});
}

TEST_F(RecoverLpc, RecoveryFromAFileWritesTheUnscrambledBlocksAndRestartsTheChip) {
    startChip();
    const Image image = recoveryImage(work, "recovery.trel", 7);
    const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", chip->port(), "-f", image.path, "-d", "1"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(commands(), FULL_WRITE);
    for (const char* line :
         {"Recovering from Trelfile: ", "Transferring firmware block 1 of 4, 10000 bytes\n",
          "Transferring firmware block 2 of 4, 600 bytes\n", "Transferring firmware block 3 of 4, 3 bytes\n",
          "Transferred 4 blocks, 10615 total bytes\n", "Rebooting Device\n", "Update time: "}) {
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
    }
    // Not a terminal: no progress bar drawn.
    EXPECT_EQ(result.out.find('\r'), std::string::npos);
    EXPECT_TRUE(flashEquals(flash(), expectedFlash(image)));
}

// The chip measures the rate on its first byte and understands only that rate afterwards:
// the fingerprint and the write must both use -o.
TEST_F(RecoverLpc, RecoveryAtAnotherRateSyncsAndWritesAtThatRate) {
    startChip();
    const Image image = recoveryImage(work, "recovery.trel", 9);
    const ProcessResult result =
        updater({"-U", "-t", "RECOVER", "-s", chip->port(), "-o", "9600", "-f", image.path, "-d", "1"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(events().find("sync at 9600 baud\n"), std::string::npos) << events();
    EXPECT_EQ(events().find("lost"), std::string::npos) << events();
    EXPECT_EQ(commands(), FULL_WRITE);
    EXPECT_TRUE(flashEquals(flash(), expectedFlash(image)));
}

class RecoverLpcFromServer : public RecoverLpc {
protected:
    void SetUp() override {
        const std::string device = std::string(SERVER_SERIAL) + "/";
        writeFixture(fixtures.path(), "fingerprints.txt",
                     "# words, serial, build\n01020304 05060708 090A0B0C 0D0E0F10 40F5849A 1234\n");
        writeFixture(fixtures.path(), device + "latest.txt", "1234\nmodfirm\n");
        writeFixture(fixtures.path(), device + "builds.txt", "1234;1.3.0\n1300;1.4.0\n");
        build1234 = recoveryImage(fixtures, "1234.built", 11);
        build1300 = recoveryImage(fixtures, "1300.built", 13);
        writeFixture(fixtures.path(), device + "1234.trel", readWholeFile(build1234.path));
        writeFixture(fixtures.path(), device + "1300.trel", readWholeFile(build1300.path));
        server = std::make_unique<UpdateServerSim>(fixtures.path());
        ASSERT_FALSE(server->url().empty());
    }

    std::string stored(const std::string& name) const {
        const std::string path = store.path() + "/updater/" + SERVER_SERIAL + "/" + name;
        return testsupport::readFileOrEmpty(path);
    }

    bool askedForRecoveryInfo() const {
        for (const std::string& request : server->requests()) {
            if (request.find("op=fix") != std::string::npos &&
                request.find("fp=01020304%2005060708%20090A0B0C%200D0E0F10") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    TempDir fixtures;
    std::unique_ptr<UpdateServerSim> server;
    Image build1234;
    Image build1300;
};

// The server names serial and build for the fingerprint; the -d given is not used.
TEST_F(RecoverLpcFromServer, WithoutAFileTheServersSerialAndBuildAreFetchedIntoTheStore) {
    startChip();
    const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", chip->port(), "-d", "11111111"}, server->url());
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(askedForRecoveryInfo());
    EXPECT_EQ(stored("1234.trel"), readWholeFile(build1234.path));
    EXPECT_NE(result.out.find("Recovering firmware with build: 1234\n"), std::string::npos) << result.out;
    EXPECT_EQ(commands(), FULL_WRITE);
    EXPECT_TRUE(flashEquals(flash(), expectedFlash(build1234)));
}

TEST_F(RecoverLpcFromServer, ABuildGivenWithDashBWinsOverTheServersBuild) {
    startChip();
    const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", chip->port(), "-b", "1300"}, server->url());
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(askedForRecoveryInfo());
    EXPECT_EQ(stored("1300.trel"), readWholeFile(build1300.path));
    EXPECT_EQ(stored("1234.trel"), "");
    EXPECT_TRUE(flashEquals(flash(), expectedFlash(build1300)));
}

TEST_F(RecoverLpcFromServer, AnUnknownFingerprintEndsTheRecoveryBeforeAnythingIsWritten) {
    startChip({}, "1,2,3,4");
    const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", chip->port()}, server->url());
    EXPECT_EQ(result.exitCode, 1);
    // The server's reason follows the message.
    EXPECT_NE(result.err.find("Failed to retrieve recovery information from Veltrane server\nReason: the server did "
                              "not accept the request (error): unknown fingerprint\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(commands(), std::vector<std::string>{"N"});
}

TEST_F(RecoverLpc, AFileWithASerialNumberBlockIsRefusedBeforeAnythingIsWritten) {
    startChip();
    const Image image = recoveryImage(work, "serial.trel", 5, {"--serial-offsets", "0x10010:0x10020"});
    const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", chip->port(), "-f", image.path, "-d", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Updater does not support offline recovery\n");
    EXPECT_EQ(commands(), std::vector<std::string>{"N"});
    EXPECT_EQ(flash().find_first_not_of('\0'), std::string::npos);
}

// Every file under the store, relative to it: what a run recorded there.
std::vector<std::string> storedFiles(const TempDir& store) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(store.path()))
        if (!entry.is_directory()) files.push_back(entry.path().string().substr(store.path().size()));
    return files;
}

struct UnwritableFile {
    const char* name;
    std::vector<std::string> blocks;  // trel_builder arguments
    const char* reason;
};

// A file the chip cannot take whole is refused before the flash is erased: the chip copies
// to flash only on 256-byte boundaries and inside its 512 KB, each copy rounded up to 256,
// 512, 1024 or 4096 bytes; a file whose first firmware block closes the list, or with a
// firmware block too short for its address, would be written in part or not at all.
TEST_F(RecoverLpc, AFileTheChipCannotTakeWholeIsRefusedBeforeTheChipIsErased) {
    const UnwritableFile cases[] = {
        {"unaligned",
         {"--raw-block", "1:00001080" + testsupport::hexOf(testsupport::noiseText(16, 1))},
         "the firmware block of 16 bytes at 0x00001080 does not start on a 256-byte boundary"},
        {"past the end",
         {"--raw-block", "1:0007FF00" + testsupport::hexOf(testsupport::noiseText(512, 2))},
         "the firmware block of 512 bytes at 0x0007FF00 would be copied past the end of the chip's flash"},
        // The payload ends inside the flash; its copy, rounded up to 4096 bytes, does not.
        {"copy past the end",
         {"--raw-block", "1:0007F800" + testsupport::hexOf(testsupport::noiseText(1100, 3))},
         "the firmware block of 1100 bytes at 0x0007F800 would be copied past the end of the chip's flash"},
        {"only the closing block", {}, "the firmware file holds no firmware to write"},
        {"closing block first",
         {"--raw-block", "1:0000000000000000", "--raw-block",
          "1:00010000" + testsupport::hexOf(testsupport::noiseText(256, 4))},
         "the firmware file holds no firmware to write"},
        {"block shorter than its address",
         {"--raw-block", "1:00", "--raw-block", "1:00010000" + testsupport::hexOf(testsupport::noiseText(256, 5))},
         "a firmware block of 1 bytes is shorter than its 4-byte flash address"},
        // What follows the second block's header: its 260 bytes, the closing block (13), the
        // info block (69) and the checksum word (4).
        {"second block claims more than the file holds",
         {"--raw-block", "1:00010000" + testsupport::hexOf(testsupport::noiseText(256, 6)), "--raw-block",
          "1:00011000" + testsupport::hexOf(testsupport::noiseText(256, 7)), "--claim-length", "1=5000"},
         "block 2 of the firmware file (a firmware block) claims 5000 bytes, but only 346 remain in the file"},
        // Flash already written can only lose bits: a second write of a byte corrupts it.
        {"second block inside the first",
         {"--raw-block", "1:00010000" + testsupport::hexOf(testsupport::noiseText(8192, 8)), "--raw-block",
          "1:00011000" + testsupport::hexOf(testsupport::noiseText(4096, 9))},
         "the firmware blocks of 8192 bytes at 0x00010000 and of 4096 bytes at 0x00011000 overlap"},
        {"one address twice",
         {"--raw-block", "1:00010000" + testsupport::hexOf(testsupport::noiseText(4096, 10)), "--raw-block",
          "1:00010000" + testsupport::hexOf(testsupport::noiseText(4096, 11))},
         "the firmware blocks of 4096 bytes at 0x00010000 and of 4096 bytes at 0x00010000 overlap"},
        // Out of address order, the later block reaching into the earlier one.
        {"later block runs into an earlier one",
         {"--raw-block", "1:00012000" + testsupport::hexOf(testsupport::noiseText(256, 12)), "--raw-block",
          "1:00011F00" + testsupport::hexOf(testsupport::noiseText(512, 13))},
         "the firmware blocks of 256 bytes at 0x00012000 and of 512 bytes at 0x00011F00 overlap"},
    };
    for (const UnwritableFile& c : cases) {
        SCOPED_TRACE(c.name);
        startChip();
        std::vector<std::string> args = c.blocks;
        for (const char* arg : {"--raw-block", "1:0000000000000000", "--info", "1234", "1.3.0", SERVER_SERIAL, "19"})
            args.push_back(arg);
        const std::string path = testsupport::buildTrel(work.file("bad.trel"), args);
        const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", chip->port(), "-f", path, "-d", "1"});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, std::string("Failed to transfer firmware\nReason: ") + c.reason + "\n");
        EXPECT_EQ(result.out.find("Rebooting Device"), std::string::npos) << result.out;
        EXPECT_EQ(commands(), std::vector<std::string>{"N"});
        EXPECT_EQ(flash().find_first_not_of('\0'), std::string::npos);
        EXPECT_EQ(storedFiles(store), std::vector<std::string>{});
        chip.reset();
    }
}

// The chip stays busy with its erase until the test lets it answer; meanwhile a second -N
// and a second recovery on the port are refused before they send a byte, naming the first
// run's process, and the first run then writes the whole image and restarts the chip.
TEST_F(RecoverLpc, ASecondRunOnThePortIsRefusedWhileARecoveryWrites) {
    startChip({"--fault", "hold:E:1"});
    const Image image = recoveryImage(work, "recovery.trel", 17);
    testsupport::RunningProcess first(
        updaterArgv({"-U", "-t", "RECOVER", "-s", chip->port(), "-f", image.path, "-d", "1"}),
        {"HOME=" + store.path()});
    const bool erasing = testsupport::waitUntil([&] { return events().find("hold E\n") != std::string::npos; },
                                                std::chrono::seconds(30), std::chrono::milliseconds(2));
    std::vector<ProcessResult> seconds;
    std::vector<Clock::duration> took;
    if (erasing) {
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"-N", "-s", chip->port()},
              std::vector<std::string>{"-U", "-t", "RECOVER", "-s", chip->port(), "-f", image.path, "-d", "1"}}) {
            seconds.push_back(updater(command));
            took.push_back(elapsed);
        }
        // A user who is not root may open the port, but not while it is held: the port's
        // exclusive mark refuses the open itself (root passes it; the lock stops root).
        if (geteuid() == 0) {
            EXPECT_EQ(chmod(chip->port().c_str(), 0666), 0);
            EXPECT_EQ(chmod(store.path().c_str(), 0777), 0);
            launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
            seconds.push_back(updater({"-N", "-s", chip->port()}));
            took.push_back(elapsed);
            launcher.clear();
        }
    }
    // Released before anything is judged: the first run must not wait out its erase.
    EXPECT_TRUE(chip->release());
    const ProcessResult result = first.finish(std::chrono::seconds(60));
    ASSERT_TRUE(erasing) << events();
    const std::string reason = "Reason: " + chip->port() + " is in use by another program (process " +
                               std::to_string(first.pid()) +
                               "), a recovery or a serial tool: nothing was sent; try again once it has finished\n";
    const char* const lines[] = {"Got no response from chip\n", "Could not get Device Identifier\n",
                                 "Got no response from chip\n"};
    for (size_t i = 0; i < seconds.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(seconds[i].exitCode, 1) << seconds[i].out << seconds[i].err;
        EXPECT_EQ(seconds[i].err, lines[i] + reason);
        EXPECT_LT(took[i], std::chrono::seconds(10));
    }
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Rebooting Device\n"), std::string::npos) << result.out;
    // Nothing but the first run's commands reached the chip, not even a stray byte.
    EXPECT_EQ(commands(), FULL_WRITE);
    EXPECT_EQ(events().find("invalid command"), std::string::npos) << events();
    EXPECT_TRUE(flashEquals(flash(), expectedFlash(image)));
}

struct FaultCase {
    const char* name;
    std::vector<std::string> faults;  // empty with no chip at all
    const char* error;
    const char* lastCommand;  // the last command the chip saw, "" for none
    int maxSeconds;
};

// When no LPC17xx answers, the i.MX attempt follows on the same port: its loader start is
// not confirmed by a silent ROM, and it looks for the module on USB 15 times, 1 s apart.
const int IMX_ATTEMPT_SECONDS = 35;

const FaultCase FAULTS[] = {
    {"PortThatDoesNotExist", {}, "Could not get Device Identifier\n", "", IMX_ATTEMPT_SECONDS},
    {"SilentPort", {"--fault", "silent:sync"}, "Could not get Device Identifier\n", "", IMX_ATTEMPT_SECONDS},
    {"NoDeviceId", {"--fault", "silent:N"}, "Could not get Device Identifier\n", "", IMX_ATTEMPT_SECONDS},
    {"SilentAfterTheFingerprint", {"--fault", "silent:U"}, "Failed to transfer firmware\n", "N", 10},
    {"PrepareRefused", {"--fault", "rc:P:9"}, "Failed to transfer firmware\n", "rc P 9", 10},
    {"EraseRefused", {"--fault", "rc:E:9"}, "Failed to transfer firmware\n", "rc E 9", 10},
    {"CopyRefused", {"--fault", "rc:C:10"}, "Failed to transfer firmware\n", "rc C 10", 10},
    {"ResendOnEveryChecksum", {"--fault", "checksum:resend"}, "Failed to transfer firmware\n", "W 268439552 4096", 10},
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class RecoverLpcFault : public RecoverLpc, public ::testing::WithParamInterface<FaultCase> {};

// Each fault ends the command with a clear error and exit code 1, in bounded time, never
// with the chip restarted as if the firmware were written.
TEST_P(RecoverLpcFault, IsAClearErrorInBoundedTime) {
    const FaultCase& c = GetParam();
    const Image image = recoveryImage(work, "recovery.trel", 3);
    std::string port = "/dev/pts/no-such-port";
    if (!c.faults.empty()) {
        startChip(c.faults);
        port = chip->port();
    }
    const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", port, "-f", image.path, "-d", "1"});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("Rebooting Device"), std::string::npos) << result.out;
    EXPECT_LT(elapsed, std::chrono::seconds(c.maxSeconds));
    if (c.faults.empty()) return;
    const std::vector<std::string> seen = commands();
    EXPECT_EQ(seen.empty() ? "" : seen.back(), c.lastCommand);
}

INSTANTIATE_TEST_SUITE_P(Faults, RecoverLpcFault, ::testing::ValuesIn(FAULTS),
                         [](const ::testing::TestParamInfo<FaultCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

struct PortCase {
    const char* name;
    const char* reason;  // after "Reason: " and the port's path
};

const char* const DENIED =
    ": serial ports belong to the dialout group; add the user to it and log in again, or run as root";

const PortCase PORT_CASES[] = {
    {"Missing", "no such port: "},
    {"Forbidden", "permission denied on "},
    {"NotATerminal", "not a serial port: "},
    {"SilentRom", ""},
};

void PrintTo(const PortCase& c, std::ostream* os) {
    *os << c.name;
}

// A port the chip cannot be reached on says why, after the usual line: the system's own
// answer to opening it, or that it opened and no boot ROM answered, with what to check.
class RecoverLpcPort : public RecoverLpc, public ::testing::WithParamInterface<PortCase> {
protected:
    // The port of the case and the reason line expected for it.
    std::pair<std::string, std::string> preparePort() {
        const std::string name = GetParam().name;
        std::string port;
        std::string reason = std::string("Reason: ") + GetParam().reason;
        if (name == "Missing") {
            port = work.file("ttyGone");
            reason += port;
        } else if (name == "NotATerminal") {
            port = work.file("plain-file");
            testsupport::writeWholeFile(port, "");
            reason += port;
        } else if (name == "Forbidden") {
            EXPECT_TRUE(line.ok());
            port = line.path();
            if (geteuid() == 0) {
                // Root opens anything: a line only root may open, tried as a user who is not root.
                EXPECT_EQ(chmod(port.c_str(), 0600), 0);
                EXPECT_EQ(chmod(store.path().c_str(), 0777), 0);
                launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
            } else {
                // A line its own owner may not open.
                EXPECT_EQ(chmod(port.c_str(), 0), 0);
            }
            reason += port + DENIED;
        } else {
            startChip({"--fault", "silent:sync"});
            port = chip->port();
            reason += port +
                      " opened, but no boot ROM answered: check that the chip was reset into its boot loader "
                      "(for an LPC17xx with its ISP pin held low) and that the baud rate (-o) suits it";
        }
        return {port, reason};
    }

    testsupport::PtyLine line;
};

TEST_P(RecoverLpcPort, FingerprintSaysWhyTheChipGaveNoResponse) {
    const auto [port, reason] = preparePort();
    const ProcessResult result = updater({"-N", "-s", port});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.err.find("Got no response from chip\n" + reason + "\n"), std::string::npos) << result.err;
}

TEST_P(RecoverLpcPort, RecoverySaysWhyThereIsNoDeviceIdentifier) {
    const auto [port, reason] = preparePort();
    const Image image = recoveryImage(work, "recovery.trel", 3);
    const ProcessResult result = updater({"-U", "-t", "RECOVER", "-s", port, "-f", image.path, "-d", "1"});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.err.find("Could not get Device Identifier\n" + reason + "\n"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("Rebooting Device"), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Ports, RecoverLpcPort, ::testing::ValuesIn(PORT_CASES),
                         [](const ::testing::TestParamInfo<PortCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

}  // namespace
