#include "modsim_process.h"

#include <algorithm>
#include <fstream>
#include <poll.h>
#include <unistd.h>

#include "byte_io.h"
#include "wait_until.h"

namespace testsupport {

std::string ModsimProcess::binary() {
    return requiredEnv("TOOLS_BIN_DIR") + "/modsim/modsim";
}

ModsimProcess::ModsimProcess(const std::string& dir, const std::vector<std::string>& args, const std::string& name)
    : logPath_(dir + "/" + name + ".log"), controlPath_(dir + "/" + name + ".ctl") {
    std::vector<std::string> argv{binary(), "--control", controlPath_, "--log", logPath_};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<BackgroundProcess>(argv);
    awaitReady();
}

bool ModsimProcess::awaitReady(std::chrono::milliseconds limit) {
    std::string line;
    if (!process_->readLine(line, limit) || line.rfind("ready ", 0) != 0) return false;
    where_ = line.substr(6);
    return true;
}

std::string ModsimProcess::location() const {
    const auto space = where_.find(' ');
    return space == std::string::npos ? "" : where_.substr(space + 1);
}

uint16_t ModsimProcess::tcpPort() const {
    const auto colon = where_.rfind(':');
    return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(where_.substr(colon + 1)));
}

std::string ModsimProcess::control(const std::string& command, std::chrono::milliseconds limit) const {
    return controlLine(controlPath_, command, limit);
}

std::vector<std::string> ModsimProcess::logLines() const {
    std::vector<std::string> lines;
    std::ifstream in(logPath_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t ModsimProcess::countInLog(const std::string& line) const {
    const auto lines = logLines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

bool ModsimProcess::waitForLog(const std::string& line, std::size_t count, std::chrono::milliseconds limit) const {
    return waitUntil([&] { return countInLog(line) >= count; }, limit, std::chrono::milliseconds(10));
}

}  // namespace testsupport
