// Messages that say why: a firmware file that cannot be used is missing, unreadable or no
// firmware file; a store directory that cannot be made names the part that failed and the
// system's reason. The tool's own message stands first, the reason on the next line.
// Permission cases run the updater as nobody (setpriv), since root may open anything.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "process.h"
#include "tempdir.h"
#include "updater_cli.h"

using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::writeWholeFile;

namespace {

enum class As { Root, Nobody };

ProcessResult runAs(As who, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (who == As::Nobody) argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.push_back(testsupport::requiredEnv("UPDATER_BIN"));
    argv.insert(argv.end(), {"-u", testsupport::kUnreachableServer});
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::runProcess(argv, std::chrono::seconds(20));
}

class CliReasons : public ::testing::Test {
protected:
    void SetUp() override {
        // Open to the unprivileged user, like a shared lab directory.
        ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
        writeWholeFile(dir.file("notes.txt"), "not firmware\n");
        writeWholeFile(dir.file("secret.trel"), "TREL");
        ASSERT_EQ(chmod(dir.file("secret.trel").c_str(), 0600), 0);
        ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0755), 0);
    }

    TempDir dir;
};

struct FileCase {
    const char* name;
    As who;
    const char* file;  // in the test directory; "" for the directory itself
    const char* reason;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class FirmwareFileReasons : public CliReasons, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FirmwareFileReasons, FollowFailedToLoad) {
    const FileCase& c = GetParam();
    const std::string path = *c.file ? dir.file(c.file) : dir.path();
    const ProcessResult result = runAs(c.who, {"-i", dir.path(), "-U", "-d", "0000CAFE", "-f", path});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Failed to load trel file\n" + path + ": " + c.reason + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Update, FirmwareFileReasons,
    ::testing::Values(FileCase{"Missing", As::Root, "absent.trel", "missing"},
                      FileCase{"Unreadable", As::Nobody, "secret.trel", "unreadable (Permission denied)"},
                      FileCase{"NotFirmware", As::Root, "notes.txt", "not a firmware file"},
                      FileCase{"Directory", As::Root, "", "a directory, not a firmware file"}),
    [](const ::testing::TestParamInfo<FileCase>& caseInfo) { return std::string(caseInfo.param.name); });

// A build the store does not hold names the file it looked for.
TEST_F(CliReasons, StoreBuildThatIsNotThereIsMissing) {
    const ProcessResult result = runAs(As::Root, {"-i", dir.path(), "-U", "-d", "0000CAFE", "-b", "77"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Failed to load trel file\n" + dir.path() + "/updater/0000CAFE/77.trel: missing\n");
}

TEST_F(CliReasons, StoreUnderAFileIsNotADirectory) {
    const ProcessResult result = runAs(As::Root, {"-i", dir.file("notes.txt"), "-L", "-d", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Could not find updater directory at " + dir.file("notes.txt") + "/updater\n" +
                              dir.file("notes.txt") + ": Not a directory\n");
}

TEST_F(CliReasons, StoreWhereTheUserMayNotWriteSaysPermissionDenied) {
    const ProcessResult result = runAs(As::Nobody, {"-i", dir.file("locked/store"), "-L", "-d", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Could not find updater directory at " + dir.file("locked/store") + "/updater\n" +
                              dir.file("locked/store") + ": Permission denied\n");
}

}  // namespace
