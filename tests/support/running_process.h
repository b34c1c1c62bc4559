// A program under test started in the background with both output streams collected, so
// that a test can signal it while it runs and then read what it said.
#pragma once

#include <chrono>
#include <future>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "process.h"

namespace testsupport {

class RunningProcess {
public:
    RunningProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends a signal while the program runs.
    void signal(int number) const;
    // Waits at most `limit` for the program to end (then kills it) and returns its result.
    ProcessResult finish(std::chrono::milliseconds limit = std::chrono::seconds(60));

private:
    pid_t pid_ = -1;
    std::promise<ProcessResult> promise_;
    std::future<ProcessResult> result_;
    std::thread collector_;
    bool finished_ = false;
};

}  // namespace testsupport
