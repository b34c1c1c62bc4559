#include "Timing.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

namespace {
double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}
}  // namespace

ChildTimes runTimed(const std::vector<std::string>& argv) {
    ChildTimes times;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) return times;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return times;
    times.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    times.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    times.userSeconds = seconds(usage.ru_utime);
    times.systemSeconds = seconds(usage.ru_stime);
    return times;
}
