// The simulated module as a child process: its ready line, and its log read
// line by line as it is written, each line stamped with the time it arrived.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

struct StampedLine {
    std::chrono::steady_clock::time_point at;
    std::string text;
};

class Simulator {
public:
    Simulator(const std::string& binary, const std::vector<std::string>& args);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::vector<StampedLine> log() const;
    void clearLog();

private:
    void readLog();

    pid_t pid_ = -1;
    int logFd_ = -1;
    uint16_t port_ = 0;
    bool ready_ = false;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<StampedLine> lines_;
};
