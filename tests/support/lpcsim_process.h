// The simulated LPC17xx boot ROM (tools/lpcsim) started for a test on a fresh pty.
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

class LpcsimProcess {
public:
    // Starts lpcsim with `args` and waits for its "ready pty" line.
    explicit LpcsimProcess(const std::vector<std::string>& args) {
        std::vector<std::string> argv{requiredEnv("TOOLS_BIN_DIR") + "/lpcsim/lpcsim"};
        argv.insert(argv.end(), args.begin(), args.end());
        process_ = std::make_unique<BackgroundProcess>(argv);
        std::string line;
        const std::string prefix = "ready pty ";
        if (process_->readLine(line) && line.rfind(prefix, 0) == 0) port_ = line.substr(prefix.size());
    }

    // The pty slave path, empty when the simulator did not come up.
    const std::string& port() const { return port_; }
    // Stops the simulator, which writes its --dump file on the way out.
    int stop() { return process_->stop(); }
    // Lets a command held by a hold fault answer (SIGUSR1).
    bool release() { return kill(process_->pid(), SIGUSR1) == 0; }

private:
    std::unique_ptr<BackgroundProcess> process_;
    std::string port_;
};

}  // namespace testsupport
