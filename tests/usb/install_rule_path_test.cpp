// Installed as the README says (`cmake --install build --prefix /usr`) and with CMake's
// default prefix, each into a temporary DESTDIR: the installed tool, refused a module on
// USB, names the udev rule at the path where the install put it, in a directory every udev
// reads, and the installed manual page names the same path. The tool runs under the test
// bed as an unprivileged user, so the kernel refuses it the emulated node.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"
#include "updater_cli.h"

using namespace std::chrono_literals;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const char* const RULE_NAME = "70-corvalith-modules.rules";
const std::string kRuleSays = "Non-root access needs the udev rule ";

struct Flow {
    const char* name;
    std::vector<std::string> prefix;  // the install's --prefix, none for the configured default
};

void PrintTo(const Flow& flow, std::ostream* os) {
    *os << flow.name;
}

// The installed file of that name whose parent directory is `parent`, as a path under destdir.
std::string findInstalled(const std::string& destdir, const std::string& parent, const std::string& name) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(destdir))
        if (entry.path().filename() == name && entry.path().parent_path().filename() == parent)
            return entry.path().string();
    return "";
}

class InstalledRulePath : public ::testing::TestWithParam<Flow> {};

TEST_P(InstalledRulePath, ToolAndPageNameWhereTheRuleWasInstalled) {
    TempDir destdir;
    // The unprivileged user runs the installed tool from it.
    ASSERT_EQ(chmod(destdir.path().c_str(), 0755), 0);
    std::vector<std::string> install{testsupport::requiredEnv("CMAKE_COMMAND"), "--install",
                                     testsupport::requiredEnv("BUILD_DIR")};
    install.insert(install.end(), GetParam().prefix.begin(), GetParam().prefix.end());
    // The install runs without the bed's preload: only the tool needs it.
    const ProcessResult installed = testsupport::runProcess(install, 60s, {"DESTDIR=" + destdir.path(), "LD_PRELOAD="});
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    const std::string tool = findInstalled(destdir.path(), "bin", "updater");
    ASSERT_NE(tool, "");

    TempDir store;
    ASSERT_EQ(chmod(store.path().c_str(), 0777), 0);
    const ProcessResult refused = testsupport::runProcess(
        {testsupport::requiredEnv("SOURCE_DIR") + "/tools/netns/netns-run",
         testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed", "--user", "65534:46", "--device",
         "serial=0000CAFE,model=19", "--", tool, "-i", store.path(), "-u", testsupport::kUnreachableServer, "-D"},
        60s, {"HOME=" + store.path(), "LD_PRELOAD="});
    const size_t says = refused.err.find(kRuleSays);
    ASSERT_NE(says, std::string::npos) << refused.out << refused.err;
    const size_t start = says + kRuleSays.size();
    const std::string named = refused.err.substr(start, refused.err.find(' ', start) - start);

    const std::string rule = findInstalled(destdir.path(), "rules.d", RULE_NAME);
    ASSERT_NE(rule, "");
    EXPECT_EQ(destdir.path() + named, rule);
    // Every udev reads these (only recent ones also /usr/local/lib/udev/rules.d).
    const std::set<std::string> udevReads{"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                          "/lib/udev/rules.d"};
    EXPECT_EQ(udevReads.count(std::filesystem::path(named).parent_path().string()), 1u) << named;

    const std::string page = findInstalled(destdir.path(), "man1", "updater.1.gz");
    ASSERT_NE(page, "");
    const ProcessResult rendered = testsupport::runProcess(
        {"/usr/bin/man", "-l", page}, 30s, {"LC_ALL=C", "MANWIDTH=200", "MANPAGER=cat", "PAGER=cat", "LD_PRELOAD="});
    EXPECT_NE(rendered.out.find(named), std::string::npos) << rendered.out;
}

INSTANTIATE_TEST_SUITE_P(Flows, InstalledRulePath,
                         ::testing::Values(Flow{"ReadmePrefixUsr", {"--prefix", "/usr"}}, Flow{"DefaultPrefix", {}}),
                         [](const ::testing::TestParamInfo<Flow>& flow) { return std::string(flow.param.name); });

}  // namespace
