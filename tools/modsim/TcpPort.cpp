#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "HostPort.h"

namespace modsim {
namespace {

int listenTcp(const std::string& address, uint16_t& port, std::string& error);

class TcpPort : public HostPort {
public:
    TcpPort(int fd, std::string address, uint16_t port) : fd_(fd), address_(std::move(address)), port_(port) {}
    ~TcpPort() override { stopListening(); }

    int listenFd() const override { return fd_; }
    int acceptHost() override { return accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }
    void stopListening() override {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool listenAgain(std::string& error) override {
        if (fd_ < 0) fd_ = listenTcp(address_, port_, error);
        return fd_ >= 0;
    }
    std::string where() const override { return "tcp " + address_ + ":" + std::to_string(port_); }
    uint16_t tcpPort() const override { return port_; }

private:
    int fd_;
    std::string address_;
    uint16_t port_;
};

int listenTcp(const std::string& address, uint16_t& port, std::string& error) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        error = "bad IPv4 address " + address;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    port = ntohs(local.sin_port);
    return fd;
}

}  // namespace

std::unique_ptr<HostPort> openTcpPort(const std::string& address, uint16_t port, std::string& error) {
    const int fd = listenTcp(address, port, error);
    if (fd < 0) return nullptr;
    return std::make_unique<TcpPort>(fd, address, port);
}

}  // namespace modsim
