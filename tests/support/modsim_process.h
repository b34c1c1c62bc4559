// The simulated module (tools/modsim) started for a test, driven through its control socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

class ModsimProcess {
public:
    // Starts modsim with `args` (a port option and identity options), a control socket and a
    // log in `dir` (files named after `name`), and waits for its ready line.
    ModsimProcess(const std::string& dir, const std::vector<std::string>& args, const std::string& name = "modsim");

    bool ready() const { return !where_.empty(); }
    // From the ready line: "tcp 127.0.0.2:40123", "unix /path", "pty /dev/pts/3".
    const std::string& where() const { return where_; }
    // The part after the kind: "127.0.0.2:40123", "/path", "/dev/pts/3".
    std::string location() const;
    uint16_t tcpPort() const;
    // Waits for the next ready line (a pty renewed after a drop) and takes it as the new place.
    bool awaitReady(std::chrono::milliseconds limit = std::chrono::seconds(5));

    // Sends one control command and returns its answer line ("ok ..." / "error ..."), or "" on failure.
    std::string control(const std::string& command, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

    const std::string& logPath() const { return logPath_; }
    std::vector<std::string> logLines() const;
    // Waits until the log holds `line` at least `count` times.
    bool waitForLog(const std::string& line, std::size_t count = 1,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    std::size_t countInLog(const std::string& line) const;

    int stop() { return process_->stop(); }

    static std::string binary();

private:
    std::string logPath_;
    std::string controlPath_;
    std::unique_ptr<BackgroundProcess> process_;
    std::string where_;
};

}  // namespace testsupport
