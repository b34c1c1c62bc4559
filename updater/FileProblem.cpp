#include "FileProblem.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TrelFile.h"

std::string _firmware_file_problem(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return path + ": " + strerror(errno);
    if (S_ISDIR(info.st_mode)) return path + ": a directory, not a firmware file";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return path + ": unreadable (" + strerror(errno) + ")";
    close(fd);
    if (!TrelFile::VerifyFile(path.c_str())) return path + ": not a firmware file";
    return path + ": not a firmware file (its contents do not load)";
}

std::string _directory_problem(const std::string& path) {
    // Walk the path as the creation did; the step that fails again tells why.
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string part = path.substr(0, end);
        struct stat info {};
        if (stat(part.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) return part + ": " + strerror(ENOTDIR);
        } else if (errno != ENOENT) {
            return part + ": " + strerror(errno);
        } else if (mkdir(part.c_str(), 0755) != 0) {
            return part + ": " + strerror(errno);
        }
        if (end == std::string::npos) break;
    }
    if (access(path.c_str(), W_OK | X_OK) != 0) return path + ": " + strerror(errno);
    return path + ": cannot be created";
}
