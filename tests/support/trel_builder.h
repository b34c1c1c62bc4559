// Runs tools/trel_builder/trel_builder.py to write firmware files for tests.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct BuilderRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the builder with these arguments (no --out added).
BuilderRun runTrelBuilder(const std::vector<std::string>& args);

// Writes `path` with the builder; the test fails (and the path is returned anyway) when
// the builder does not succeed.
std::string buildTrel(const std::string& path, const std::vector<std::string>& args);

}  // namespace testsupport
