// The simulated boot ROM's own surface: the control lines a person types and its options.
#include <gtest/gtest.h>

#include "process.h"
#include "tempdir.h"

using testsupport::runProcess;

namespace {

std::string lpcsim() {
    return testsupport::requiredEnv("TOOLS_BIN_DIR") + "/lpcsim/lpcsim";
}

TEST(NxpLpcsim, AnswersControlLinesAndDumpsItsFlash) {
    testsupport::TempDir dir;
    const std::string image = dir.file("now.bin");
    const auto result = runProcess({lpcsim(), "--fill", "0x5A"}, std::chrono::seconds(10), {},
                                   "fault rc:E:9\nfault nonsense\nclear\ndump " + image + "\nquit\n");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.rfind("ready pty /dev/pts/", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("\nok\nerror unknown fault: nonsense\nok\nok\nok\n"), std::string::npos) << result.out;
    const std::string flash = testsupport::readWholeFile(image);
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_EQ(flash.find_first_not_of('\x5A'), std::string::npos);
}

TEST(NxpLpcsim, RefusesABadFaultRuleAtStart) {
    for (const char* rule : {"silent", "rc:E:x", "checksum:loud", "silent:N:0"}) {
        const auto result = runProcess({lpcsim(), "--fault", rule}, std::chrono::seconds(10));
        EXPECT_EQ(result.exitCode, 2) << rule;
    }
}

}  // namespace
