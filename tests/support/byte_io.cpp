#include "byte_io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// One read after waiting for data: >0 bytes, 0 closed, -1 error, -2 nothing before the deadline.
ssize_t readOnce(int fd, uint8_t* buffer, std::size_t size, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, msUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready == 0 ? -2 : -1;
        const ssize_t n = read(fd, buffer, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return n < 0 ? -1 : n;
    }
}

}  // namespace

int connectTcp(const std::string& address, uint16_t port) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &remote.sin_addr) != 1) return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

int connectUnix(const std::string& path) {
    sockaddr_un remote{};
    remote.sun_family = AF_UNIX;
    if (path.size() >= sizeof remote.sun_path) return -1;
    std::memcpy(remote.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool writeBytes(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

Bytes readBytes(int fd, std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    Bytes bytes(count);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = readOnce(fd, bytes.data() + done, count - done, deadline);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

Bytes readFor(int fd, std::chrono::milliseconds window) {
    const auto deadline = Clock::now() + window;
    Bytes bytes;
    uint8_t buffer[256];
    ssize_t n;
    while ((n = readOnce(fd, buffer, sizeof buffer, deadline)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    return bytes;
}

bool waitForClose(int fd, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    uint8_t buffer[256];
    ssize_t n;
    while ((n = readOnce(fd, buffer, sizeof buffer, deadline)) > 0) {}
    return n == 0 || n == -1;
}

bool waitForReset(int fd, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    uint8_t buffer[256];
    ssize_t n;
    while ((n = readOnce(fd, buffer, sizeof buffer, deadline)) > 0) {}
    return n == -1 && errno == ECONNRESET;
}

std::string controlLine(const std::string& socketPath, const std::string& command, std::chrono::milliseconds limit) {
    const int fd = connectUnix(socketPath);
    if (fd < 0) return "";
    std::string answer;
    const std::string line = command + "\n";
    if (writeBytes(fd, Bytes(line.begin(), line.end()))) {
        const auto deadline = Clock::now() + limit;
        while (answer.find('\n') == std::string::npos && Clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const Bytes next = readBytes(fd, 1, left);
            if (next.empty()) break;
            answer.push_back(static_cast<char>(next[0]));
        }
    }
    close(fd);
    const auto newline = answer.find('\n');
    return newline == std::string::npos ? "" : answer.substr(0, newline);
}

std::string hexText(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        if (i) text += ' ';
        text += digits;
    }
    return text;
}

}  // namespace testsupport
