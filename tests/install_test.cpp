// `cmake --install` into a temporary DESTDIR, as a packager runs it: the tool and its
// manual page land under the prefix and the udev rule in udev's own directory whatever the
// prefix, the installed binary runs, the page renders cleanly, documents every option of
// the option table and is found by `apropos firmware`. A user who may not write the rule's
// directory is refused before anything is copied.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "process.h"
#include "tempdir.h"
#include "updater_cli.h"

using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::requiredEnv;
using testsupport::runProcess;
using testsupport::TempDir;

namespace {

const std::string kPrefix = "/opt/module-updater";

// Whether `word` stands in `text` as a word of its own: bounded by the start or a space,
// comma or bracket before it, and by the end or a space, comma, bracket or "=" after it.
bool hasWord(const std::string& text, const std::string& word) {
    const std::string before = " \n\t,[";
    const std::string after = " \n\t,]=";
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const size_t end = at + word.size();
        if ((at == 0 || before.find(text[at - 1]) != std::string::npos) &&
            (end == text.size() || after.find(text[end]) != std::string::npos))
            return true;
    }
    return false;
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

class Install : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        destdir = new TempDir;
        installed =
            runProcess({requiredEnv("CMAKE_COMMAND"), "--install", requiredEnv("BUILD_DIR"), "--prefix", kPrefix},
                       std::chrono::seconds(60), {"DESTDIR=" + destdir->path()});
    }
    static void TearDownTestSuite() {
        delete destdir;
        destdir = nullptr;
    }

    static std::string installedPath(const std::string& relative) { return destdir->path() + kPrefix + "/" + relative; }
    // The rule's directory is absolute, so it lies under DESTDIR but outside the prefix.
    static std::string installedRule() {
        return destdir->path() + testsupport::requiredEnv("UDEV_RULES_DIR") + "/70-corvalith-modules.rules";
    }

    // The page as man renders it in the C locale, and what it said on standard error.
    static ProcessResult renderPage() {
        return runProcess({"/usr/bin/man", "--warnings", "-l", installedPath("share/man/man1/updater.1.gz")},
                          std::chrono::seconds(30), {"LC_ALL=C", "MANWIDTH=80", "MANPAGER=cat", "PAGER=cat"});
    }

    static TempDir* destdir;
    static ProcessResult installed;
};

TempDir* Install::destdir = nullptr;
ProcessResult Install::installed;

TEST_F(Install, PutsToolAndPageUnderThePrefixAndTheRuleWhereUdevReads) {
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    EXPECT_TRUE(isExecutableFile(installedPath("bin/updater")));
    EXPECT_FALSE(readWholeFile(installedRule()).empty());
    EXPECT_FALSE(readWholeFile(installedPath("share/man/man1/updater.1.gz")).empty());
    // Nothing that udev would never read.
    EXPECT_FALSE(testsupport::fileExists(installedPath("lib/udev/rules.d/70-corvalith-modules.rules")));
    EXPECT_EQ(installed.err.find("udev may not read"), std::string::npos) << installed.err;
}

TEST_F(Install, InstalledBinaryPrintsItsHelp) {
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    TempDir store;
    const ProcessResult help =
        runProcess({installedPath("bin/updater"), "-i", store.path(), "-u", testsupport::kUnreachableServer, "-h"},
                   std::chrono::seconds(20), {"HOME=" + store.path()});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out, testsupport::cli_text::kVersion + testsupport::cli_text::kNotice);
    EXPECT_EQ(help.err, testsupport::cli_text::kHelpUsage);
}

// Each rule line that grants access names the device and hands it to group plugdev.
TEST_F(Install, RuleOpensModulesAndTheBootRomToPlugdev) {
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    std::istringstream rules(readWholeFile(installedRule()));
    bool modules = false, romUsb = false, romHid = false, driverNode = false;
    for (std::string line; std::getline(rules, line);) {
        if (line.empty() || line[0] == '#') continue;
        EXPECT_NE(line.find("GROUP=\"plugdev\""), std::string::npos) << line;
        EXPECT_NE(line.find("MODE=\"0660\""), std::string::npos) << line;
        const bool usb = line.find("SUBSYSTEM==\"usb\"") != std::string::npos;
        const bool rom = line.find("idVendor}==\"1fc9\"") != std::string::npos &&
                         line.find("idProduct}==\"0130\"") != std::string::npos;
        if (usb && line.find("ATTR{idVendor}==\"3f1d\"") != std::string::npos) modules = true;
        if (usb && rom) romUsb = true;
        if (line.find("SUBSYSTEM==\"hidraw\"") != std::string::npos && rom) romHid = true;
        if (line.find("KERNEL==\"corvalith.*\"") != std::string::npos) driverNode = true;
    }
    EXPECT_TRUE(modules);
    EXPECT_TRUE(romUsb);
    EXPECT_TRUE(romHid);
    EXPECT_TRUE(driverNode);
}

TEST_F(Install, PageRendersWithoutWarnings) {
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    const ProcessResult page = renderPage();
    EXPECT_EQ(page.exitCode, 0);
    EXPECT_EQ(page.err, "");
    EXPECT_NE(page.out.find("UPDATER(1)"), std::string::npos) << page.out;
}

// Every row of the option table stands in the page as an option of its own.
TEST_F(Install, PageNamesEveryOptionFilesAndExitCodes) {
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    const std::string text = renderPage().out;
    for (const SOption* row = g_rgOptions; row->id != -1; ++row) EXPECT_TRUE(hasWord(text, row->text)) << row->text;
    for (const char* needle : {"EXIT STATUS", "FILES", ".settings", "BUILD.trel", "@corvalith-updater/module/SERIAL",
                               "/lib/udev/rules.d/70-corvalith-modules.rules", "plugdev", "~/.veltrane/updater/"})
        EXPECT_NE(text.find(needle), std::string::npos) << needle;
}

// What man-db's index takes from the NAME line: the page is found by what it is for.
TEST_F(Install, AproposFindsThePageByTheWordFirmware) {
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    const std::string manpath = installedPath("share/man");
    const std::vector<std::string> env{"LC_ALL=C", "MANPATH=" + manpath};
    const ProcessResult indexed = runProcess({"/usr/bin/mandb", "-q", manpath}, std::chrono::seconds(60), env);
    ASSERT_EQ(indexed.exitCode, 0) << indexed.err;
    const ProcessResult found = runProcess({"/usr/bin/apropos", "firmware"}, std::chrono::seconds(30), env);
    EXPECT_EQ(found.exitCode, 0) << found.err;
    EXPECT_EQ(found.out.rfind("updater (1)", 0), 0u) << found.out;
    const ProcessResult seeAlso = renderPage();
    EXPECT_NE(seeAlso.out.find("SEE ALSO"), std::string::npos);
}

// A non-root install with a prefix of its own ("cmake --install BUILD --prefix $HOME/x"):
// the rule's directory is not the user's, so nothing is copied and the message says how to
// go on. Run as nobody into a prefix nobody may write.
TEST(InstallAsUser, RefusedBeforeAnythingIsCopiedNamingTheWaysOn) {
    TempDir home;
    ASSERT_EQ(chmod(home.path().c_str(), 0777), 0);
    const std::string prefix = home.file("x");
    const ProcessResult installed =
        runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    requiredEnv("CMAKE_COMMAND"), "--install", requiredEnv("BUILD_DIR"), "--prefix", prefix},
                   std::chrono::seconds(60), {"HOME=" + home.path(), "DESTDIR="});
    if (installed.exitCode == 0) GTEST_SKIP() << "nobody may write " << requiredEnv("UDEV_RULES_DIR") << " here";
    // CMake wraps the message: read it as one line.
    std::string message = installed.err;
    message.erase(std::remove(message.begin(), message.end(), '\n'), message.end());
    for (std::string::size_type at; (at = message.find("  ")) != std::string::npos;) message.erase(at, 1);
    EXPECT_NE(message.find("Nothing was installed: the udev rule goes to " + requiredEnv("UDEV_RULES_DIR") +
                           ", and this user may not write "),
              std::string::npos)
        << installed.err;
    // It names both ways that need no root.
    EXPECT_NE(message.find("-DUPDATER_UDEV_RULES_DIR=DIR"), std::string::npos) << installed.err;
    EXPECT_NE(message.find("DESTDIR=DIR cmake --install BUILD_DIR"), std::string::npos) << installed.err;
    EXPECT_FALSE(std::filesystem::exists(prefix)) << "the install copied something into " << prefix;
}

}  // namespace
