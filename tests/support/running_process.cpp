#include "running_process.h"

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {
namespace {

std::vector<char*> cStrings(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(&s[0]);
    result.push_back(nullptr);
    return result;
}

}  // namespace

RunningProcess::RunningProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environmentWith(extraEnv);
    auto argp = cStrings(args);
    auto envp = cStrings(env);
    const bool mainThread = onTheMainThread();
    const pid_t self = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        endWithTheTestProcess(mainThread, self);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    result_ = promise_.get_future();
    collector_ = std::thread(
        [this, outFd = outPipe[0], errFd = errPipe[0]] { promise_.set_value(collectChild(pid_, outFd, errFd)); });
}

RunningProcess::~RunningProcess() {
    finish(std::chrono::seconds(0));
}

void RunningProcess::signal(int number) const {
    if (!finished_) kill(pid_, number);
}

ProcessResult RunningProcess::finish(std::chrono::milliseconds limit) {
    if (finished_) return ProcessResult{};
    ProcessResult result;
    if (result_.wait_for(limit) != std::future_status::ready) {
        kill(pid_, SIGKILL);
        result.timedOut = true;
    }
    const ProcessResult collected = result_.get();
    collector_.join();
    finished_ = true;
    result.exitCode = collected.exitCode;
    result.out = collected.out;
    result.err = collected.err;
    return result;
}

}  // namespace testsupport
