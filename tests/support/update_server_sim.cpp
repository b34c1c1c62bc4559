#include "update_server_sim.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace testsupport {

UpdateServerSim::UpdateServerSim(const std::string& fixtures, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     requiredEnv("SOURCE_DIR") + "/tools/update_server/update_server.py",
                                     "--fixtures",
                                     fixtures,
                                     "--log",
                                     logDir_.file("requests.log")};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<BackgroundProcess>(argv);
    std::string line;
    if (process_->readLine(line, std::chrono::seconds(10)) && line.rfind("http://127.0.0.1:", 0) == 0)
        url_ = line;
    else
        ADD_FAILURE() << "simulated update server did not start";
}

std::vector<std::string> UpdateServerSim::requests() const {
    std::vector<std::string> lines;
    std::ifstream log(logDir_.file("requests.log"));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

void writeFixture(const std::string& root, const std::string& relativePath, const std::string& content) {
    const std::filesystem::path path = std::filesystem::path(root) / relativePath;
    std::filesystem::create_directories(path.parent_path());
    writeWholeFile(path.string(), content);
}

}  // namespace testsupport
