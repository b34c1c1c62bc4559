#include <sys/socket.h>
#include <unistd.h>

#include "HostPort.h"
#include "UnixSocket.h"

namespace modsim {
namespace {

class UnixPort : public HostPort {
public:
    UnixPort(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~UnixPort() override {
        close(fd_);
        unlink(path_.c_str());
    }

    int listenFd() const override { return fd_; }
    int acceptHost() override { return accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }
    std::string where() const override { return "unix " + path_; }

private:
    int fd_;
    std::string path_;
};

}  // namespace

std::unique_ptr<HostPort> openUnixPort(const std::string& path, std::string& error) {
    const int fd = listenUnixSocket(path, error);
    if (fd < 0) return nullptr;
    return std::make_unique<UnixPort>(fd, path);
}

}  // namespace modsim
