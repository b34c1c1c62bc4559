// Starting programs under test as real subprocesses, with bounded waits.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exitCode = -1;      // exit status, or 128 + signal number
    bool timedOut = false;  // killed because it ran past its time limit
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with argv, feeding `input` to standard input, and waits
// at most `limit`. Extra environment entries ("NAME=value") are added.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(60),
                         const std::vector<std::string>& extraEnv = {}, const std::string& input = "");

// The current environment with the "NAME=value" entries of `extra` added or replacing.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra);

// Reads a child's standard output and error pipes to their end, closes them and reaps
// the child; with a deadline the child is killed (and timedOut set) when it passes first.
ProcessResult collectChild(pid_t pid, int outFd, int errFd,
                           std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

// In a forked child before exec: the child is killed when the test process ends, so a
// test that dies never leaves a simulator holding the test runner's output open. Only
// a fork from the main thread qualifies: the signal follows the forking thread.
void endWithTheTestProcess(bool forkedFromTheMainThread, pid_t testProcess);
bool onTheMainThread();

// A program left running in the background (a simulator), killed on destruction.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Reads one line of the program's standard output, waiting at most `limit`;
    // returns false on time-out or end of output.
    bool readLine(std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Sends SIGTERM, then SIGKILL after a grace period; returns the exit code.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string pending_;
    int exitCode_ = -1;
};

// The value of an environment variable that CTest sets, or the test fails.
std::string requiredEnv(const char* name);

}  // namespace testsupport
