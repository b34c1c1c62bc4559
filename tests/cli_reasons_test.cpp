// Messages that say why: a firmware file that cannot be used is missing, unreadable or no
// firmware file; a store directory that cannot be made names the part that failed and the
// system's reason, or the length of a path too long to be one. The tool's own message
// stands first, the reason on the next line as "Reason: ...", and the exit code is 1.
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
    EXPECT_EQ(result.err, "Failed to load trel file\nReason: " + path + ": " + c.reason + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Update, FirmwareFileReasons,
    ::testing::Values(FileCase{"Missing", As::Root, "absent.trel", "No such file or directory"},
                      FileCase{"Unreadable", As::Nobody, "secret.trel", "unreadable (Permission denied)"},
                      FileCase{"NotFirmware", As::Root, "notes.txt", "not a firmware file"},
                      FileCase{"Directory", As::Root, "", "a directory, not a firmware file"}),
    [](const ::testing::TestParamInfo<FileCase>& caseInfo) { return std::string(caseInfo.param.name); });

// A build the store does not hold names the file it looked for.
TEST_F(CliReasons, StoreBuildThatIsNotThereIsMissing) {
    const ProcessResult result = runAs(As::Root, {"-i", dir.path(), "-U", "-d", "0000CAFE", "-b", "77"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Failed to load trel file\nReason: " + dir.path() +
                              "/updater/0000CAFE/77.trel: No such file or directory\n");
}

TEST_F(CliReasons, StoreUnderAFileIsNotADirectory) {
    const ProcessResult result = runAs(As::Root, {"-i", dir.file("notes.txt"), "-L", "-d", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Could not find updater directory at " + dir.file("notes.txt") +
                              "/updater\nReason: " + dir.file("notes.txt") + ": Not a directory\n");
}

TEST_F(CliReasons, StoreWhereTheUserMayNotWriteSaysPermissionDenied) {
    const ProcessResult result = runAs(As::Nobody, {"-i", dir.file("locked/store"), "-L", "-d", "1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Could not find updater directory at " + dir.file("locked/store") +
                              "/updater\nReason: " + dir.file("locked/store") + ": Permission denied\n");
}

// A store path longer than the tool takes is named as given (as far as a message line
// goes: 2047 characters), with its length.
TEST_F(CliReasons, StorePathTooLongIsNamedAsGiven) {
    const std::string longPath = dir.path() + "/" + std::string(2100, 'x');
    const ProcessResult result = runAs(As::Root, {"-i", longPath, "-L", "-d", "1"});
    EXPECT_EQ(result.exitCode, 1);
    const std::string wanted = longPath + "/updater";
    EXPECT_EQ(result.err, ("Could not find updater directory at " + wanted).substr(0, 2047) + "\nReason: the path is " +
                              std::to_string(wanted.size()) + " characters long; a store path may have at most 2046\n");
}

// The longest path the store takes still works; one character more is refused.
TEST_F(CliReasons, StorePathAtTheLimitIsTaken) {
    // "/updater" makes it 2046 characters.
    std::string base = dir.path() + "/";
    base += std::string(2046 - 8 - base.size(), 'y');
    ASSERT_EQ(base.size() + 8, 2046u);
    // No single name may pass 255 characters: cut the tail into directories.
    for (size_t at = dir.path().size() + 200; at < base.size(); at += 200) base[at] = '/';
    EXPECT_EQ(runAs(As::Root, {"-i", base, "-I"}).exitCode, 0);
    EXPECT_TRUE(testsupport::fileExists(base + "/updater"));
    const ProcessResult longer = runAs(As::Root, {"-i", base + "z", "-I"});
    EXPECT_EQ(longer.exitCode, 1);
    EXPECT_NE(longer.err.find("Reason: the path is 2047 characters long"), std::string::npos) << longer.err;
}

}  // namespace
