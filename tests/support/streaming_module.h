// A module played on raw sockets: it sends one packet (a streamed sample, say) at a
// fixed pace on every connection and answers each address probe [0xAD, 0x00] with its
// address and no data, as a module does. It listens on an ephemeral loopback port
// and takes new connections as they come (a reset reconnects), or serves one socket it
// is given (the USB bed's pipe). Whole packets only: what a full socket refuses waits
// for the next round, and a sample is skipped while output is still pending, so the
// bytes the host reads always split into the packets sent. It ends with its owner, or
// after three minutes at most.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tcp_peer.h"

namespace testsupport {

class StreamingModule {
public:
    // `sample` in wire form (address, data size, data); an empty one sends nothing.
    StreamingModule(uint8_t address, std::string sample, std::chrono::microseconds pace)
        : address_(address), sample_(std::move(sample)), pace_(pace), peer_(std::make_unique<TcpPeer>()) {
        thread_ = std::thread([this] { run(); });
    }
    // Serves `fd` (a connected socket, owned from now on) instead of listening.
    StreamingModule(int fd, uint8_t address, std::string sample, std::chrono::microseconds pace)
        : address_(address), sample_(std::move(sample)), pace_(pace) {
        connections_.push_back(Connection{fd, {}, {}});
        thread_ = std::thread([this] { run(); });
    }
    ~StreamingModule() {
        stop_ = true;
        thread_.join();
        for (const Connection& connection : connections_) close(connection.fd);
    }
    StreamingModule(const StreamingModule&) = delete;
    StreamingModule& operator=(const StreamingModule&) = delete;

    uint16_t port() const { return peer_ ? peer_->port() : 0; }
    // Probes answered and samples sent, over all connections.
    uint64_t probesAnswered() const { return probes_; }
    uint64_t samplesSent() const { return samples_; }
    // Connections taken so far (a reset of the link makes a new one).
    uint64_t connectionsTaken() const { return taken_; }

private:
    struct Connection {
        int fd;
        std::string input;
        std::string output;
    };

    void run() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        auto nextSample = std::chrono::steady_clock::now();
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            accept();
            const auto now = std::chrono::steady_clock::now();
            const bool sampleDue = now >= nextSample;
            if (sampleDue) nextSample = now + pace_;
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (serve(*it, sampleDue)) {
                    ++it;
                } else {
                    close(it->fd);
                    it = connections_.erase(it);
                }
            }
            wait(nextSample);
        }
    }

    void accept() {
        if (!peer_) return;
        while (waitForEvent(peer_->listener(), POLLIN, 0)) {
            const int fd = accept4(peer_->listener(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) return;
            connections_.push_back(Connection{fd, {}, {}});
            ++taken_;
        }
    }

    // Until the next sample is due, or input arrives.
    void wait(std::chrono::steady_clock::time_point until) {
        std::vector<pollfd> fds;
        if (peer_) fds.push_back({peer_->listener(), POLLIN, 0});
        for (const Connection& connection : connections_) fds.push_back({connection.fd, POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        const int ms = left.count() <= 0 ? 0 : static_cast<int>(std::min<long>(left.count(), 20));
        poll(fds.data(), fds.size(), ms);
    }

    // False once the host has gone.
    bool serve(Connection& connection, bool sampleDue) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0) return false;
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                return false;
            }
            connection.input.append(buffer, static_cast<size_t>(got));
        }
        takePackets(connection);
        if (sampleDue && !sample_.empty() && connection.output.empty()) {
            connection.output += sample_;
            ++samples_;
        }
        while (!connection.output.empty()) {
            const ssize_t sent =
                send(connection.fd, connection.output.data(), connection.output.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
            connection.output.erase(0, static_cast<size_t>(sent));
        }
        return true;
    }

    void takePackets(Connection& connection) {
        std::string& input = connection.input;
        while (input.size() >= 2 && input.size() >= 2u + static_cast<uint8_t>(input[1])) {
            const bool probe = static_cast<uint8_t>(input[0]) == 0xAD && input[1] == 0;
            input.erase(0, 2u + static_cast<uint8_t>(input[1]));
            if (!probe) continue;
            connection.output += static_cast<char>(address_);
            connection.output += '\0';
            ++probes_;
        }
    }

    const uint8_t address_;
    const std::string sample_;
    const std::chrono::microseconds pace_;
    std::unique_ptr<TcpPeer> peer_;
    std::vector<Connection> connections_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> probes_{0};
    std::atomic<uint64_t> samples_{0};
    std::atomic<uint64_t> taken_{0};
    std::thread thread_;
};

}  // namespace testsupport
