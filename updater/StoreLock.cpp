#include "StoreLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

const char* const StoreLock::FILE_NAME = ".lock";

StoreLock::~StoreLock() {
    release();
}

StoreLock::Result StoreLock::acquire(const std::string& directory, std::string& reason) {
    release();
    const std::string path = directory + "/" + FILE_NAME;
    // Close-on-exec, so no child program can keep the module locked after we exit.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        reason = path + ": " + strerror(errno);
        return UNAVAILABLE;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            reason = path + " is held";
            return BUSY;
        }
        reason = path + ": " + strerror(error);
        return UNAVAILABLE;
    }
    fd_ = fd;
    return LOCKED;
}

void StoreLock::release() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}
