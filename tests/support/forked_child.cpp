#include "forked_child.h"

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

int runForked(const std::function<int()>& body, std::chrono::milliseconds limit) {
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(body());

    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool dropPrivileges() {
    return setgroups(0, nullptr) == 0 && setgid(kUnprivilegedId) == 0 && setuid(kUnprivilegedId) == 0;
}

}  // namespace testsupport
