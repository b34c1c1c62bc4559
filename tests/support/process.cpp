#include "process.h"
#include "wait_until.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// Every updater this test process starts shares a module-lock scope of its own: tests that
// run at once, here and in other checkouts on the same machine, update the same serial
// numbers without meeting each other's locks, while the runs of one test still meet.
[[maybe_unused]] const bool lockScopeSet = [] {
    setenv("UPDATER_LOCK_SCOPE", ("test-" + std::to_string(getpid())).c_str(), 0);
    return true;
}();

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

[[noreturn]] void execChild(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    auto args = cStrings(argv);
    auto envp = cStrings(env);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& entry : extra) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        for (auto it = env.begin(); it != env.end();) {
            it = (it->compare(0, name.size(), name) == 0) ? env.erase(it) : it + 1;
        }
        env.push_back(entry);
    }
    return env;
}

bool onTheMainThread() {
    return gettid() == getpid();
}

void endWithTheTestProcess(bool forkedFromTheMainThread, pid_t testProcess) {
    if (!forkedFromTheMainThread) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The test may have ended between the fork and the prctl.
    if (getppid() != testProcess) _exit(127);
}

ProcessResult collectChild(pid_t pid, int outFd, int errFd, std::optional<Clock::time_point> deadline) {
    ProcessResult result;
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const int ready = poll(fds, 2, deadline ? remainingMs(*deadline) : -1);
        if (ready == 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (ready < 0) {
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
    result.exitCode = decodeStatus(status);
    return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                         const std::vector<std::string>& extraEnv, const std::string& input) {
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC) || pipe2(inPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    const auto env = environmentWith(extraEnv);
    const bool mainThread = onTheMainThread();
    const pid_t self = getpid();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        endWithTheTestProcess(mainThread, self);
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        execChild(argv, env);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        ssize_t ignored = write(inPipe[1], input.data(), input.size());
        (void)ignored;
    }
    close(inPipe[1]);

    return collectChild(pid, outPipe[0], errPipe[0], Clock::now() + limit);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC)) throw std::runtime_error("pipe failed");
    const auto env = environmentWith(extraEnv);
    const bool mainThread = onTheMainThread();
    const pid_t self = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        endWithTheTestProcess(mainThread, self);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outPipe[1], 1);
        execChild(argv, env);
    }
    close(outPipe[1]);
    outFd_ = outPipe[0];
}

BackgroundProcess::~BackgroundProcess() {
    stop();
}

bool BackgroundProcess::readLine(std::string& line, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        if (outFd_ < 0) return false;
        struct pollfd fd = {outFd_, POLLIN, 0};
        int ready = poll(&fd, 1, remainingMs(deadline));
        if (ready == 0) return false;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        char buffer[1024];
        ssize_t n = read(outFd_, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

int BackgroundProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        pid_t done = 0;
        waitUntil([&] { return (done = waitpid(pid_, &status, WNOHANG)) != 0; }, grace, std::chrono::milliseconds(10));
        if (done == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        exitCode_ = decodeStatus(status);
        pid_ = -1;
    }
    if (outFd_ >= 0) {
        close(outFd_);
        outFd_ = -1;
    }
    return exitCode_;
}

std::string requiredEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) {
        ADD_FAILURE() << "environment variable " << name << " is not set (run the tests through ctest)";
        return "";
    }
    return value;
}

}  // namespace testsupport
