#include "thread_stacks.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

std::string findProgram(const char* name) {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The test's preloads (umockdev) and sanitizer settings are no business of the debugger.
std::vector<std::string> debuggerEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("LD_PRELOAD=", 0) == 0 || text.rfind("UMOCKDEV_", 0) == 0) continue;
        env.push_back(text);
    }
    return env;
}

bool runGdb(pid_t pid) {
    const std::string gdb = findProgram("gdb");
    if (gdb.empty()) return false;
    const std::string target = std::to_string(pid);
    const std::vector<std::string> args = {gdb,  "-batch", "-nx",     "-iex", "set debuginfod enabled off",
                                           "-p", target,   "-ex",     "set pagination off",
                                           "-ex", "thread apply all bt"};
    // Everything the child needs is built before the fork: it only execs.
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> envText = debuggerEnvironment();
    std::vector<char*> envp;
    for (const auto& entry : envText) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    // Where the kernel restricts tracing to ancestors, let this child trace us.
    prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0, 0, 0);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void printProcThreads(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + entry->d_name;
        fprintf(stderr, "thread %s (%s) state %s wchan %s\n", entry->d_name, firstLine(task + "/comm").c_str(),
                firstLine(task + "/stat").c_str(), firstLine(task + "/wchan").c_str());
        std::ifstream kernelStack(task + "/stack");
        for (std::string line; std::getline(kernelStack, line);) fprintf(stderr, "    %s\n", line.c_str());
    }
    closedir(dir);
}

}  // namespace

void printThreadStacks(pid_t pid) {
    fprintf(stderr, "=== stacks of every thread of process %d\n", static_cast<int>(pid));
    if (!runGdb(pid)) {
        fprintf(stderr, "(gdb gave no stacks; what /proc shows:)\n");
        printProcThreads(pid);
    }
    fprintf(stderr, "=== end of stacks\n");
    fflush(stderr);
}

}  // namespace testsupport
