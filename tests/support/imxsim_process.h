// The simulated i.MX boot ROM (tools/imxsim) started for a test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

class ImxsimProcess {
public:
    // Starts imxsim with `args` and waits for its "ready pty|hid ..." line.
    explicit ImxsimProcess(const std::vector<std::string>& args) {
        std::vector<std::string> argv{requiredEnv("TOOLS_BIN_DIR") + "/imxsim/imxsim"};
        argv.insert(argv.end(), args.begin(), args.end());
        process_ = std::make_unique<BackgroundProcess>(argv);
        std::string line;
        for (const char* prefix : {"ready pty ", "ready hid "}) {
            if (line.empty() && !process_->readLine(line)) return;
            if (line.rfind(prefix, 0) == 0) endpoint_ = line.substr(std::string(prefix).size());
        }
    }

    // The pty slave path or the HID report socket, empty when the ROM did not come up.
    const std::string& endpoint() const { return endpoint_; }
    // The next line the ROM (or the loader it started) prints.
    bool readLine(std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return process_->readLine(line, limit);
    }
    int stop() { return process_->stop(); }

private:
    std::unique_ptr<BackgroundProcess> process_;
    std::string endpoint_;
};

}  // namespace testsupport
