#include "ticking_modules.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace testsupport {

namespace {

constexpr uint8_t kProbeAddress = 0xAD;
// The child never outlives a test run by much, whatever happens to the test.
constexpr auto kLongestLife = std::chrono::minutes(30);

struct Connection {
    int fd;
    std::size_t module;
    std::vector<uint8_t> input;
};

void sendQuietly(int fd, const uint8_t* bytes, std::size_t length) {
    (void)!send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Takes the complete packets of the input; answers each probe.
void serveInput(Connection& connection, uint8_t address) {
    std::size_t at = 0;
    auto& in = connection.input;
    while (in.size() - at >= 2 && in.size() - at >= 2u + in[at + 1]) {
        if (in[at] == kProbeAddress && in[at + 1] == 0) {
            const uint8_t answer[2] = {address, 0};
            sendQuietly(connection.fd, answer, sizeof answer);
        }
        at += 2u + in[at + 1];
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
}

[[noreturn]] void serve(const std::vector<TickingModules::Module>& modules, const std::vector<int>& listeners,
                        int lifeline) {
    std::vector<Connection> connections;
    uint8_t count = 0;
    const auto end = std::chrono::steady_clock::now() + kLongestLife;
    auto nextTick = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        std::vector<pollfd> waits;
        waits.push_back({lifeline, POLLIN, 0});
        for (int listener : listeners) waits.push_back({listener, POLLIN, 0});
        for (const auto& connection : connections) waits.push_back({connection.fd, POLLIN, 0});
        const auto untilTick =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - std::chrono::steady_clock::now()).count();
        poll(waits.data(), waits.size(), untilTick > 0 ? static_cast<int>(untilTick) : 0);
        // The test closed its end of the lifeline, or ended.
        if (waits[0].revents) _exit(0);
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            if (!waits[1 + i].revents) continue;
            for (int accepted = 0; accepted < 64; ++accepted) {
                const int fd = accept4(listeners[i], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                connections.push_back({fd, i, {}});
            }
        }
        const std::size_t first = 1 + listeners.size();
        std::vector<Connection> open;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& connection = connections[i];
            bool closed = false;
            if (i + first < waits.size() && waits[i + first].revents) {
                uint8_t buffer[4096];
                const ssize_t got = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    closed = true;
                } else if (got > 0) {
                    connection.input.insert(connection.input.end(), buffer, buffer + got);
                    serveInput(connection, modules[connection.module].address);
                }
            }
            if (closed)
                close(connection.fd);
            else
                open.push_back(std::move(connection));
        }
        connections.swap(open);
        if (std::chrono::steady_clock::now() >= nextTick) {
            nextTick += std::chrono::milliseconds(1);
            if (nextTick < std::chrono::steady_clock::now()) nextTick = std::chrono::steady_clock::now();
            ++count;
            for (const auto& connection : connections) {
                if (!modules[connection.module].ticks) continue;
                const uint8_t tick[5] = {modules[connection.module].address, 3, 0x10, 0x01, count};
                sendQuietly(connection.fd, tick, sizeof tick);
            }
        }
    }
    _exit(0);
}

}  // namespace

TickingModules::TickingModules(const std::vector<Module>& modules) {
    std::vector<int> listeners;
    for (const auto& module : modules) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in where = {};
        where.sin_family = AF_INET;
        inet_pton(AF_INET, module.ip.c_str(), &where.sin_addr);
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 128) != 0) {
            if (fd >= 0) close(fd);
            for (int listener : listeners) close(listener);
            return;
        }
        socklen_t length = sizeof where;
        getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
        ips_.push_back(where.sin_addr.s_addr);
        ports_.push_back(ntohs(where.sin_port));
        listeners.push_back(fd);
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        for (int listener : listeners) close(listener);
        return;
    }
    const pid_t parent = getpid();
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        close(pipeFds[1]);
        serve(modules, listeners, pipeFds[0]);
    }
    close(pipeFds[0]);
    for (int listener : listeners) close(listener);
    if (child < 0) {
        close(pipeFds[1]);
        return;
    }
    child_ = child;
    lifeline_ = pipeFds[1];
}

TickingModules::~TickingModules() {
    if (lifeline_ >= 0) close(lifeline_);
    if (child_ <= 0) return;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(child_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child_, SIGKILL);
            waitpid(child_, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace testsupport
