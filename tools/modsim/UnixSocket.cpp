#include "UnixSocket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace modsim {

int listenUnixSocket(const std::string& path, std::string& error) {
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof local.sun_path) {
        error = "socket path empty or too long: " + path;
        return -1;
    }
    std::memcpy(local.sun_path, path.c_str(), path.size() + 1);
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = "not a socket, left alone: " + path;
            return -1;
        }
        unlink(path.c_str());
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 4) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace modsim
