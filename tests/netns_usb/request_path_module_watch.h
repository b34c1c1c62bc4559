// What the module streams, looked at every quarter second through modsim's `streams`
// command, with the times of each look, so the test can tell afterwards whether the
// module ever streamed a value that nobody wanted any more.
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "modsim_process.h"
#include "request_path_traffic.h"

namespace requestpath {

struct StreamLook {
    double before = 0;  // the module answered between these two times
    double after = 0;
    std::set<std::string> keys;
};

class ModuleStreamWatch {
public:
    explicit ModuleStreamWatch(const testsupport::ModsimProcess& sim)
        : sim_(sim), thread_([this] { watch(); }) {}
    ~ModuleStreamWatch() { stop(); }
    ModuleStreamWatch(const ModuleStreamWatch&) = delete;
    ModuleStreamWatch& operator=(const ModuleStreamWatch&) = delete;

    void stop() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::vector<StreamLook> looks() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return looks_;
    }
    // One look now; false when the module did not answer.
    bool look(StreamLook& seen) const {
        seen.before = monotonicSeconds();
        const std::string answer = sim_.control("streams", std::chrono::seconds(5));
        seen.after = monotonicSeconds();
        if (answer.rfind("ok", 0) != 0) return false;
        std::istringstream words(answer.substr(2));
        seen.keys.clear();
        for (std::string key; words >> key;) seen.keys.insert(key);
        return true;
    }

private:
    void watch() {
        for (long round = 0; round < 1000000 && !done_; ++round) {
            StreamLook seen;
            if (look(seen)) {
                std::lock_guard<std::mutex> lock(mutex_);
                looks_.push_back(seen);
            }
            for (int slice = 0; slice < 25 && !done_; ++slice) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    const testsupport::ModsimProcess& sim_;
    mutable std::mutex mutex_;
    std::vector<StreamLook> looks_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace requestpath
