#include "ReplaceFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Names are drawn afresh until one is free; far more tries than two writers ever need.
const int NAME_ATTEMPTS = 100;
// As many links as the kernel follows in one path.
const int LINK_HOPS = 40;

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

uint64_t randomWord() {
    uint64_t word = 0;
    if (getrandom(&word, sizeof word, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof word)) return word;
    static uint64_t counter = 0;
    return (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(time(nullptr)) ^ ++counter;
}

// A fresh candidate name beside path: ".NAME.tmp.HEX" (no second dot for a hidden NAME).
std::string candidateBeside(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const char* hide = (!name.empty() && name[0] == '.') ? "" : ".";
    char suffix[24];
    snprintf(suffix, sizeof suffix, ".tmp.%016llx", static_cast<unsigned long long>(randomWord()));
    return directory + hide + name + suffix;
}

}  // namespace

int CreateFileBeside(const std::string& path, std::string& temporaryPath) {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string candidate = candidateBeside(path);
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            temporaryPath = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

bool WriteAllAndSync(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return fsync(fd) == 0;
}

aErr StageFileBeside(const std::string& path, const void* data, size_t length, std::string& temporaryPath) {
    std::string temporary;
    const int fd = CreateFileBeside(path, temporary);
    if (fd < 0) return aErrNotFound;
    bool written = WriteAllAndSync(fd, data, length);
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        errno = error;
        return aErrIO;
    }
    temporaryPath = temporary;
    return aErrNone;
}

bool SyncDirectoryOf(const std::string& path) {
    const int fd = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // A file system that cannot flush a directory (EINVAL) keeps its names its own way.
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

bool ReplaceFileWith(const std::string& temporaryPath, const std::string& path, bool* flushed) {
    if (std::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(temporaryPath.c_str());
        errno = error;
        return false;
    }
    const bool synced = SyncDirectoryOf(path);
    if (flushed) *flushed = synced;
    return true;
}

bool KeepUnderTemporaryName(const std::string& path, std::string& keptPath) {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string candidate = candidateBeside(path);
        if (link(path.c_str(), candidate.c_str()) == 0) {
            keptPath = candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

std::string FinalTargetOf(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < LINK_HOPS; ++hop) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        char target[PATH_MAX];
        const ssize_t length = readlink(current.c_str(), target, sizeof target - 1);
        if (length <= 0) return current;
        target[length] = '\0';
        current = target[0] == '/' ? std::string(target) : directoryOf(current) + "/" + target;
    }
    return current;
}
