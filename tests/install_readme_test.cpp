// The README's install path for other distributions, followed as a newcomer follows it: a
// fresh clone of this commit, then the README's own commands, read from the README, run
// in it, the install staged into a DESTDIR. The tool, its page and the rule land where the
// README says, the staged tool runs, and the build leaves the simulators and tests out.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"
#include "updater_cli.h"

using namespace std::chrono_literals;
using testsupport::ProcessResult;
using testsupport::readWholeFile;
using testsupport::requiredEnv;
using testsupport::runProcess;

namespace {

// The commands of the first indented block after the paragraph that begins "On other
// distributions", one a line.
std::vector<std::string> readmeCommands(const std::string& readme) {
    std::istringstream lines(readme);
    std::vector<std::string> commands;
    bool inSection = false;
    for (std::string line; std::getline(lines, line);) {
        if (!inSection) {
            inSection = line.rfind("On other distributions", 0) == 0;
            continue;
        }
        if (line.rfind("    ", 0) == 0) {
            commands.push_back(line.substr(4));
        } else if (!commands.empty()) {
            break;
        }
    }
    return commands;
}

// A directory under the build tree, where the shared compiler cache (whose base directory
// covers the work tree) serves the clone's build as it serves every other.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = requiredEnv("BUILD_DIR") + "/readme-install-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

ProcessResult shell(const std::string& dir, const std::string& command, std::chrono::milliseconds limit,
                    const std::vector<std::string>& env = {}) {
    return runProcess({"/bin/sh", "-c", "cd '" + dir + "' && " + command}, limit, env);
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

TEST(ReadmeOtherDistributions, FromACleanCloneIntoAStagingDirectory) {
    const std::string source = requiredEnv("SOURCE_DIR");
    const std::vector<std::string> commands = readmeCommands(readWholeFile(source + "/README.md"));
    ASSERT_EQ(commands.size(), 3u) << "the README's other-distributions block changed shape";
    ASSERT_EQ(commands.back().rfind("sudo cmake --install ", 0), 0u) << commands.back();

    ScratchDir scratch;
    const std::string clone = scratch.path() + "/src";
    const std::string stage = scratch.path() + "/stage";
    for (const std::string& step : {"git clone -q --no-checkout '" + source + "' '" + clone + "'",
                                    "git -C '" + clone + "' fetch -q '" + source + "' HEAD",
                                    "git -C '" + clone + "' checkout -q --detach FETCH_HEAD"}) {
        const ProcessResult cloned = shell(scratch.path(), step, 120s);
        ASSERT_EQ(cloned.exitCode, 0) << step << "\n" << cloned.err;
    }

    // As root already, the install runs without sudo, staged.
    std::vector<std::string> env{"DESTDIR=" + stage};
    if (access("/usr/bin/ccache", X_OK) == 0)
        env.insert(env.end(), {"CMAKE_C_COMPILER_LAUNCHER=ccache", "CMAKE_CXX_COMPILER_LAUNCHER=ccache"});
    for (std::string command : commands) {
        if (command.rfind("sudo ", 0) == 0) command.erase(0, 5);
        const ProcessResult ran = shell(clone, command, 20min, env);
        ASSERT_FALSE(ran.timedOut) << command;
        ASSERT_EQ(ran.exitCode, 0) << command << "\n" << ran.out << ran.err;
        EXPECT_EQ(ran.err.find("CMake Warning"), std::string::npos) << command << "\n" << ran.err;
    }

    const std::string tool = stage + "/usr/bin/updater";
    ASSERT_TRUE(isExecutableFile(tool));
    EXPECT_TRUE(testsupport::fileExists(stage + "/usr/share/man/man1/updater.1.gz"));
    EXPECT_TRUE(testsupport::fileExists(stage + requiredEnv("UDEV_RULES_DIR") + "/70-corvalith-modules.rules"));
    testsupport::TempDir store;
    const ProcessResult help = runProcess({tool, "-i", store.path(), "-u", testsupport::kUnreachableServer, "-h"}, 20s,
                                          {"HOME=" + store.path()});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out, testsupport::cli_text::kVersion + testsupport::cli_text::kNotice);
    EXPECT_EQ(help.err, testsupport::cli_text::kHelpUsage);
    // Only the tool was built: no simulator (which needs umockdev), no test program.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(clone, ignored)) {
        if (!entry.is_regular_file() || !isExecutableFile(entry.path().string())) continue;
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name != "modsim" && name != "usbbed" && name.find("_test") == std::string::npos) << entry.path();
    }
}

}  // namespace
