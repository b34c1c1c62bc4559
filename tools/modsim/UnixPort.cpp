#include <sys/socket.h>
#include <unistd.h>

#include "HostPort.h"
#include "UnixSocket.h"

namespace modsim {
namespace {

class UnixPort : public HostPort {
public:
    UnixPort(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~UnixPort() override { stopListening(); }

    int listenFd() const override { return fd_; }
    void stopListening() override {
        if (fd_ < 0) return;
        close(fd_);
        fd_ = -1;
        unlink(path_.c_str());
    }
    bool listenAgain(std::string& error) override {
        if (fd_ < 0) fd_ = listenUnixSocket(path_, error);
        return fd_ >= 0;
    }
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
