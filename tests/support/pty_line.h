// A serial line on a pseudo-terminal: the stream opens the slave path, the test holds the
// master (the far end of the line) and a second slave descriptor that keeps the line's
// settings alive between the stream's open and close and lets the test look at them.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "wait_until.h"

namespace testsupport {

class PtyLine {
public:
    PtyLine() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
        if (!path_.empty()) slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~PtyLine() {
        closeMaster();
        if (slave_ >= 0) close(slave_);
    }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& path() const { return path_; }
    int slave() const { return slave_; }

    termios settings() const {
        termios t = {};
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t;
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes arrived, the line ends or the time is up.
    std::string receive(size_t count, int timeoutMs = 2000) {
        std::string got;
        const auto start = std::chrono::steady_clock::now();
        while (got.size() < count && msSince(start) < timeoutMs) {
            pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            char chunk[256];
            const ssize_t n = read(master_, chunk, std::min(sizeof(chunk), count - got.size()));
            if (n <= 0) break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }
    // The far end hangs up.
    void closeMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace testsupport
