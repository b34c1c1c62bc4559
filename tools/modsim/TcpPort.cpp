#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "HostPort.h"

namespace modsim {
namespace {

class TcpPort : public HostPort {
public:
    TcpPort(int fd, std::string address, uint16_t port) : fd_(fd), address_(std::move(address)), port_(port) {}
    ~TcpPort() override { close(fd_); }

    int listenFd() const override { return fd_; }
    int acceptHost() override { return accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }
    std::string where() const override { return "tcp " + address_ + ":" + std::to_string(port_); }
    uint16_t tcpPort() const override { return port_; }

private:
    int fd_;
    std::string address_;
    uint16_t port_;
};

}  // namespace

std::unique_ptr<HostPort> openTcpPort(const std::string& address, uint16_t port, std::string& error) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        error = "bad IPv4 address " + address;
        return nullptr;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    return std::make_unique<TcpPort>(fd, address, ntohs(local.sin_port));
}

}  // namespace modsim
