#include "FileLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

const auto RETRY_PAUSE = std::chrono::milliseconds(10);

}  // namespace

FileLock::FileLock(const std::string& path, std::chrono::milliseconds patience) {
    const std::string lockPath = LockPathFor(path);
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // A lock file made by another user may be read-only to us; a local flock needs no write access.
    // When there is none, the directory is what we may not write: that is the reason.
    if (fd < 0 && errno == EACCES) {
        fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) errno = EACCES;
    }
    if (fd < 0) {
        error_ = errno;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        const int error = errno;
        if ((error != EWOULDBLOCK && error != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            error_ = error;
            close(fd);
            return;
        }
        std::this_thread::sleep_for(RETRY_PAUSE);
    }
}

FileLock::~FileLock() {
    // Closing the only descriptor releases the lock.
    if (fd_ >= 0) close(fd_);
}
