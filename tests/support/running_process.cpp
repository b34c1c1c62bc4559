#include "running_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {
namespace {

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& added : extra)
            if (entry.compare(0, added.find('=') + 1, added, 0, added.find('=') + 1) == 0) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(&s[0]);
    result.push_back(nullptr);
    return result;
}

// Reads both streams to their end, then reaps the child.
ProcessResult collect(pid_t pid, int outFd, int errFd) {
    ProcessResult result;
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.exitCode = 128 + WTERMSIG(status);
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
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
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
        [this, outFd = outPipe[0], errFd = errPipe[0]] { promise_.set_value(collect(pid_, outFd, errFd)); });
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
