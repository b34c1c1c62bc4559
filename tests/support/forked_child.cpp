#include "forked_child.h"
#include "wait_until.h"

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

int runForked(const std::function<int()>& body, std::chrono::milliseconds limit) {
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(body());

    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, limit, std::chrono::milliseconds(2))) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool dropPrivileges() {
    return setgroups(0, nullptr) == 0 && setgid(kUnprivilegedId) == 0 && setuid(kUnprivilegedId) == 0;
}

}  // namespace testsupport
