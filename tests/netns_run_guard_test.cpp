// The interface guard of tools/netns/netns-run, applied to given names only: it never looks
// at, let alone changes, this machine's interfaces.
#include <gtest/gtest.h>

#include "process.h"

namespace {

struct GuardCase {
    std::vector<std::string> interfaces;
    bool accepted;
    const char* named;  // the foreign name the refusal must mention
};

TEST(ModsimNetnsGuard, AcceptsOnlyLoopbackAndItsOwnVethPair) {
    const GuardCase cases[] = {
        {{"lo"}, true, ""},
        {{"lo", "nsrun0", "nsrun1"}, true, ""},
        {{"lo", "nsrun0", "nsrun1", "eth0"}, false, "eth0"},
        {{"lo", "wlan0"}, false, "wlan0"},
        {{"nsrun2"}, false, "nsrun2"},
        {{"lo0"}, false, "lo0"},
    };
    const std::string script = testsupport::requiredEnv("SOURCE_DIR") + "/tools/netns/netns-run";
    for (const auto& c : cases) {
        std::vector<std::string> argv{script, "--check-interfaces"};
        argv.insert(argv.end(), c.interfaces.begin(), c.interfaces.end());
        const auto result = testsupport::runProcess(argv, std::chrono::seconds(10));
        SCOPED_TRACE(result.err);
        EXPECT_EQ(result.exitCode == 0, c.accepted);
        if (!c.accepted) {
            EXPECT_NE(result.err.find(std::string("visible: ") + c.named), std::string::npos);
        }
    }
}

TEST(ModsimNetnsGuard, RunsNothingWithoutACommand) {
    const std::string script = testsupport::requiredEnv("SOURCE_DIR") + "/tools/netns/netns-run";
    const auto result = testsupport::runProcess({script}, std::chrono::seconds(10));
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.out.find("netns-run COMMAND"), std::string::npos);
}

}  // namespace
