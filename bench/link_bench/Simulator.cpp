#include "Simulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads one line from fd, waiting at most `limitMs` in all.
bool readLine(int fd, std::string& line, int limitMs) {
    line.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) continue;
        char c = 0;
        if (read(fd, &c, 1) != 1) return false;
        if (c == '\n') return true;
        line += c;
    }
    return false;
}

}  // namespace

Simulator::Simulator(const std::string& binary, const std::vector<std::string>& args) {
    int readyPipe[2];
    int logPipe[2];
    if (pipe2(readyPipe, O_CLOEXEC) != 0 || pipe2(logPipe, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(readyPipe[1], 1);
        dup2(logPipe[1], 2);
        std::vector<char*> argv{const_cast<char*>(binary.c_str())};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        const char* logToStderr[] = {"--log", "-"};
        argv.push_back(const_cast<char*>(logToStderr[0]));
        argv.push_back(const_cast<char*>(logToStderr[1]));
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(readyPipe[1]);
    close(logPipe[1]);
    logFd_ = logPipe[0];
    reader_ = std::thread(&Simulator::readLog, this);
    std::string line;
    if (readLine(readyPipe[0], line, 5000)) {
        const auto colon = line.rfind(':');
        if (line.rfind("ready tcp ", 0) == 0 && colon != std::string::npos)
            port_ = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
        ready_ = line.rfind("ready ", 0) == 0 && (port_ != 0 || line.rfind("ready tcp ", 0) != 0);
    }
    close(readyPipe[0]);
}

Simulator::~Simulator() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (logFd_ >= 0) close(logFd_);
}

void Simulator::readLog() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(logFd_, buffer, sizeof buffer);
        if (got <= 0) return;
        const auto now = std::chrono::steady_clock::now();
        pending.append(buffer, static_cast<size_t>(got));
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            lines_.push_back({now, pending.substr(0, end)});
            pending.erase(0, end + 1);
        }
    }
}

std::vector<StampedLine> Simulator::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void Simulator::clearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}
