// The independent link-server discovery peer (tools/discovery_peer) started for a test.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace testsupport {

class DiscoveryPeer {
public:
    // Starts the peer in `mode` with `args` and waits for its ready line.
    DiscoveryPeer(const std::string& mode, const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/python3",
                                      requiredEnv("SOURCE_DIR") + "/tools/discovery_peer/discovery_peer.py", mode};
        argv.insert(argv.end(), args.begin(), args.end());
        process_ = std::make_unique<BackgroundProcess>(argv);
        std::string line;
        ready_ = process_->readLine(line, std::chrono::seconds(10)) && line == "ready";
    }

    bool ready() const { return ready_; }
    // The next event line, or "" when none came within `limit`.
    std::string next(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::string line;
        return process_->readLine(line, limit) ? line : std::string();
    }
    // Lines until one starting with `prefix` (returned), or "" at the limit or the end.
    std::string nextStartingWith(const std::string& prefix, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (int lines = 0; lines < 10000; ++lines) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            std::string line;
            if (!process_->readLine(line, left)) break;
            if (line.rfind(prefix, 0) == 0) return line;
        }
        return "";
    }

private:
    std::unique_ptr<BackgroundProcess> process_;
    bool ready_ = false;
};

}  // namespace testsupport
