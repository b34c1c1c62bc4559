#include "aPortClaim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

struct aPortClaim {
    // The node: its device number for a device node, else its file system and inode.
    bool device;
    dev_t dev;
    ino_t ino;
    int fd;
    bool terminal;
    int holds;  // nested claims of this process
};

namespace {

const int OPEN_FLAGS = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// /proc/locks lines are short; this bounds a system that lists very many locks.
const size_t MAX_LOCK_LINES = 100000;

std::mutex g_lock;
std::vector<aPortClaim*> g_claims;

bool sameNode(const aPortClaim& claim, const struct stat& node) {
    if (claim.device) return S_ISCHR(node.st_mode) && node.st_rdev == claim.dev;
    return !S_ISCHR(node.st_mode) && node.st_dev == claim.dev && node.st_ino == claim.ino;
}

// The claim of this process that covers the node at path; NULL when none does.
aPortClaim* findClaim(const char* path) {
    struct stat node;
    if (stat(path, &node) != 0) return nullptr;
    for (aPortClaim* claim : g_claims)
        if (sameNode(*claim, node)) return claim;
    return nullptr;
}

aErr openError(int error) {
    if (error == ENOENT) return aErrNotFound;
    if (error == EACCES || error == EPERM) return aErrPermission;
    if (error == EBUSY) return aErrBusy;
    return aErrIO;
}

}  // namespace

aErr aPortClaim_Take(const char* path, aPortClaimRef* claim) {
    if (claim) *claim = nullptr;
    if (!path || !claim) return aErrParam;
    std::lock_guard<std::mutex> hold(g_lock);
    if (aPortClaim* held = findClaim(path)) {
        ++held->holds;
        *claim = held;
        return aErrNone;
    }
    // The node is known by what its path names, as later lookups find it.
    struct stat node;
    if (stat(path, &node) != 0) return openError(errno);
    const int fd = open(path, OPEN_FLAGS);
    if (fd < 0) return openError(errno);
    // A lock another program holds is the only refusal; a node that takes no lock at all
    // cannot be kept, only used.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return aErrBusy;
    }
    const bool terminal = isatty(fd) != 0;
    if (terminal) ioctl(fd, TIOCEXCL);
    const bool device = S_ISCHR(node.st_mode);
    *claim = new aPortClaim{device, device ? node.st_rdev : node.st_dev, node.st_ino, fd, terminal, 1};
    g_claims.push_back(*claim);
    return aErrNone;
}

void aPortClaim_Release(aPortClaimRef* claim) {
    if (!claim || !*claim) return;
    std::lock_guard<std::mutex> hold(g_lock);
    aPortClaim* held = *claim;
    *claim = nullptr;
    if (--held->holds > 0) return;
    g_claims.erase(std::remove(g_claims.begin(), g_claims.end(), held), g_claims.end());
    // The mark stays with the terminal, not the descriptor: a pseudo-terminal whose other
    // side stays open would keep it after the close.
    if (held->terminal) ioctl(held->fd, TIOCNXCL);
    close(held->fd);
    delete held;
}

int aPortClaim_HolderPid(const char* path) {
    struct stat node;
    if (!path || stat(path, &node) != 0) return 0;
    FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks) return 0;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(node.st_dev), minor(node.st_dev),
                  static_cast<unsigned long>(node.st_ino));
    int holder = 0;
    char line[256];
    for (size_t n = 0; holder == 0 && n < MAX_LOCK_LINES && std::fgets(line, sizeof line, locks); ++n) {
        char kind[16];
        char mode[16];
        char access[16];
        char where[64];
        int pid = 0;
        if (std::sscanf(line, "%*d: %15s %15s %15s %d %63s", kind, mode, access, &pid, where) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && std::strcmp(where, wanted) == 0)
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

int aPortClaim_Open(const char* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    // The same open file: its lock and the terminal's mark stay with the claim when the
    // stream closes its descriptor.
    if (aPortClaim* held = findClaim(path)) return fcntl(held->fd, F_DUPFD_CLOEXEC, 0);
    return open(path, OPEN_FLAGS);
}
