// The simulated i.MX boot ROM (tools/imxsim) started for a test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

// The simulated module that a ROM's jump starts, on a Unix socket: it answers the chip
// identifier 11111111 22222222 33333333 44444444 (subindex 0 first), runs the loader protocol
// and comes back with build 4321, its image dumped to `image`.
inline std::vector<std::string> loaderModuleArgs(const std::string& socket, const std::string& control,
                                                 const std::string& log, const std::string& image) {
    return {requiredEnv("TOOLS_BIN_DIR") + "/modsim/modsim",
            "--unix",
            socket,
            "--control",
            control,
            "--log",
            log,
            "--serial",
            "CAFE",
            "--model",
            "19",
            "--chip-id",
            "11111111,22222222,33333333,44444444",
            "--update-build",
            "4321",
            "--in-loader",
            "--dump-image",
            image};
}

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
