// The far end of a TCP stream: listens on an ephemeral loopback port, accepts the
// stream's connection and plays the module on it (send, receive, close, reset).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wait_until.h"

namespace testsupport {

inline uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

inline bool waitForEvent(int fd, short events, int timeoutMs) {
    pollfd p = {fd, events, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

class TcpPeer {
public:
    explicit TcpPeer(int backlog = 8) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = loopback();
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t length = sizeof(a);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        listen(listener_, backlog);
    }
    ~TcpPeer() {
        if (conn_ >= 0) close(conn_);
        close(listener_);
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    uint16_t port() const { return port_; }
    int listener() const { return listener_; }

    bool accept(int timeoutMs = 3000) {
        if (!waitForEvent(listener_, POLLIN, timeoutMs)) return false;
        if (conn_ >= 0) close(conn_);
        conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }
    bool hasPendingConnection(int timeoutMs) { return waitForEvent(listener_, POLLIN, timeoutMs); }

    void send(const std::string& bytes) {
        ASSERT_EQ(::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `count` bytes arrived, the connection ends or the time is up.
    std::string receive(size_t count, int timeoutMs = 3000) {
        std::string got;
        std::vector<char> chunk(1 << 16);
        const auto start = std::chrono::steady_clock::now();
        while (got.size() < count && msSince(start) < timeoutMs) {
            if (!waitForEvent(conn_, POLLIN, 100)) continue;
            const ssize_t n = recv(conn_, chunk.data(), std::min(chunk.size(), count - got.size()), 0);
            if (n <= 0) break;
            got.append(chunk.data(), static_cast<size_t>(n));
        }
        return got;
    }

    // Closing with a zero linger time sends a reset instead of an orderly end.
    void reset() {
        const linger l = {1, 0};
        setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        close(conn_);
        conn_ = -1;
    }
    void closeOrderly() {
        close(conn_);
        conn_ = -1;
    }

private:
    int listener_ = -1;
    int conn_ = -1;
    uint16_t port_ = 0;
};

}  // namespace testsupport
