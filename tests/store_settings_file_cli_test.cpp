// -L, -G and -U with a module settings file that cannot be read, is read-only or is a
// symbolic link. Only a missing file is created afresh: one that cannot be read is refused
// with its reason and left exactly as it was, with nothing written beside it; a read-only one
// keeps its mode, a link stays a link and its target gets the record, with the user's keys.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "store_records.h"
#include "tempdir.h"

using testsupport::DownloadStore;
using testsupport::fileExists;
using testsupport::namesIn;
using testsupport::parseSettings;
using testsupport::ProcessResult;
using testsupport::readFileOrEmpty;
using testsupport::readWholeFile;
using testsupport::writeFixture;
using testsupport::writeWholeFile;

namespace {

const char* const SERIAL = "40F5849A";
const char* const USER_LINE = "MY_NOTE=kept by its user\n";

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

class SettingsFileCli : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string device = std::string(SERIAL) + "/";
        writeFixture(store.fixtures.path(), device + "latest.txt", "1234\nmodfirm\n");
        writeFixture(store.fixtures.path(), device + "builds.txt", "1100;1.1.0\n1234;1.3.0\n");
        writeFixture(store.fixtures.path(), device + "1100.trel",
                     testsupport::buildFirmware(work, SERIAL, "1100", "1.1.0"));
        writeFixture(store.fixtures.path(), device + "1234.trel",
                     testsupport::buildFirmware(work, SERIAL, "1234", "1.3.0"));
        store.serve();
        ASSERT_FALSE(store.server->url().empty());
        const auto stored = store.run({"-G", "-d", SERIAL, "-b", "1100"});
        ASSERT_EQ(stored.exitCode, 0) << stored.err;
        settings = store.settingsPath(SERIAL);
        writeWholeFile(settings, readWholeFile(settings) + USER_LINE);
    }

    // The tool as a user without root's power over file modes: as root, with the capabilities
    // that override file permissions dropped.
    ProcessResult runAsUser(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = store.argv(args);
        if (geteuid() == 0)
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search",
                                       "--inh-caps", "-all", "--"});
        return testsupport::runProcess(argv, std::chrono::seconds(90), store.env());
    }

    size_t firmwareRequests() const {
        size_t count = 0;
        for (const auto& line : store.server->requests()) count += line.find("op=trel") != std::string::npos;
        return count;
    }

    testsupport::TempDir work;
    DownloadStore store;
    std::string settings;
};

enum class Unreadable { NoPermission, Directory };

struct RefusalCase {
    const char* name;
    Unreadable how;
    std::vector<std::string> command;
    int exitCode;
    const char* listing;  // what -L prints on standard output after the version line, or null
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class UnreadableSettings : public SettingsFileCli, public ::testing::WithParamInterface<RefusalCase> {};

// -L still lists the builds (the listing does not need the record) and ends with 0, as a
// listing does; -G and -U fail before they fetch or write anything. The update names a build
// the store lacks, so that no version of the tool ever reaches for a module from here.
TEST_P(UnreadableSettings, AreRefusedWithTheReasonAndLeftAsTheyWere) {
    const RefusalCase& c = GetParam();
    const std::string module = store.moduleDir(SERIAL);
    const std::string content = readWholeFile(settings);
    const char* reason = nullptr;
    if (c.how == Unreadable::NoPermission) {
        ASSERT_EQ(chmod(settings.c_str(), 0), 0);
        reason = "Permission denied";
    } else {
        ASSERT_EQ(unlink(settings.c_str()), 0);
        ASSERT_EQ(mkdir(settings.c_str(), 0755), 0);
        writeWholeFile(settings + "/inside", content);
        reason = "Is a directory";
    }
    const auto namesBefore = namesIn(module);
    const size_t fetchesBefore = firmwareRequests();

    const ProcessResult result = runAsUser(c.command);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    EXPECT_NE(result.err.find("Failed to read the settings file " + settings + "\n" + settings + ": " + reason + "\n"),
              std::string::npos)
        << result.err;
    if (c.listing) {
        EXPECT_NE(result.out.find(c.listing), std::string::npos) << result.out;
    }

    EXPECT_EQ(namesIn(module), namesBefore);
    EXPECT_EQ(firmwareRequests(), fetchesBefore);
    if (c.how == Unreadable::NoPermission) {
        EXPECT_EQ(modeOf(settings) & 07777, 0u);
        EXPECT_EQ(readWholeFile(settings), content);
    } else {
        EXPECT_TRUE(S_ISDIR(modeOf(settings)));
        EXPECT_EQ(namesIn(settings), std::set<std::string>{"inside"});
        EXPECT_EQ(readWholeFile(settings + "/inside"), content);
    }
}

const char* const kListing =
    "Build List for device [40F5849A]:\n\n"
    "Build          \tVersion        \n"
    "1100           \t1.1.0          \n";

INSTANTIATE_TEST_SUITE_P(
    Store, UnreadableSettings,
    ::testing::Values(
        RefusalCase{"ListWithoutPermission", Unreadable::NoPermission, {"-L", "-d", SERIAL}, 0, kListing},
        RefusalCase{"ListWithADirectory", Unreadable::Directory, {"-L", "-d", SERIAL}, 0, kListing},
        RefusalCase{
            "DownloadWithoutPermission", Unreadable::NoPermission, {"-G", "-d", SERIAL, "-b", "1234"}, 1, nullptr},
        RefusalCase{"DownloadWithADirectory", Unreadable::Directory, {"-G", "-d", SERIAL, "-b", "1234"}, 1, nullptr},
        RefusalCase{
            "UpdateWithoutPermission", Unreadable::NoPermission, {"-U", "-d", SERIAL, "-b", "9999"}, 1, nullptr},
        RefusalCase{"UpdateWithADirectory", Unreadable::Directory, {"-U", "-d", SERIAL, "-b", "9999"}, 1, nullptr}),
    [](const ::testing::TestParamInfo<RefusalCase>& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(SettingsFileCli, AReadOnlySettingsFileKeepsItsModeAndTheUsersKeys) {
    ASSERT_EQ(chmod(settings.c_str(), 0444), 0);
    const ProcessResult result = runAsUser({"-G", "-d", SERIAL, "-b", "1234"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(modeOf(settings) & 07777, 0444u);
    const std::string text = readWholeFile(settings);
    EXPECT_EQ(parseSettings(text).entries["LATEST_DOWNLOAD"], "1234.trel") << text;
    EXPECT_NE(text.find(USER_LINE), std::string::npos) << text;
}

TEST_F(SettingsFileCli, ALinkedSettingsFileIsWrittenThroughToItsTarget) {
    const std::string target = work.file("kept/module.settings");
    std::filesystem::create_directories(work.file("kept"));
    std::filesystem::rename(settings, target);
    ASSERT_EQ(symlink(target.c_str(), settings.c_str()), 0);

    const ProcessResult result = store.run({"-G", "-d", SERIAL, "-b", "1234"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(S_ISLNK(modeOf(settings)));
    EXPECT_EQ(std::filesystem::read_symlink(settings).string(), target);
    const std::string text = readWholeFile(target);
    EXPECT_EQ(parseSettings(text).entries["LATEST_DOWNLOAD"], "1234.trel") << text;
    EXPECT_NE(text.find(USER_LINE), std::string::npos) << text;
    EXPECT_TRUE(fileExists(store.moduleDir(SERIAL) + "/1234.trel"));
}

}  // namespace
