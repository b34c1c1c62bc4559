#include "trel_builder.h"

#include <gtest/gtest.h>

#include "process.h"

namespace testsupport {

BuilderRun runTrelBuilder(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     requiredEnv("SOURCE_DIR") + "/tools/trel_builder/trel_builder.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    // Only a guard against a hung builder: a file of the largest payload takes the builder
    // seconds of CPU, which a loaded machine stretches far out.
    const ProcessResult result = runProcess(argv, std::chrono::seconds(90));
    return BuilderRun{result.exitCode, result.out, result.err};
}

std::string buildTrel(const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--out", path};
    all.insert(all.end(), args.begin(), args.end());
    const BuilderRun run = runTrelBuilder(all);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return path;
}

}  // namespace testsupport
