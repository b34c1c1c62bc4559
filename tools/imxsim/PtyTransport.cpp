#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "Transport.h"

namespace imxsim {

uint64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

PtyTransport::~PtyTransport() {
    if (slaveHold_ >= 0) close(slaveHold_);
    if (master_ >= 0) close(master_);
}

bool PtyTransport::open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot create a pty: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    slavePath_ = name ? name : "";
    // Holding the slave open keeps the master from reporting a hang-up between hosts.
    slaveHold_ = slavePath_.empty() ? -1 : ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slaveHold_ < 0 || tcgetattr(slaveHold_, &raw) != 0) {
        error = "cannot open pty slave " + slavePath_ + ": " + std::strerror(errno);
        return false;
    }
    cfmakeraw(&raw);
    tcsetattr(slaveHold_, TCSANOW, &raw);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
}

void PtyTransport::send(const std::vector<Reply>& replies) {
    std::vector<uint8_t> out;
    for (const Reply& r : replies) out.insert(out.end(), r.bytes.begin(), r.bytes.end());
    size_t done = 0;
    const uint64_t giveUp = nowMs() + 2000;
    while (done < out.size() && nowMs() < giveUp) {
        const ssize_t n = ::write(master_, out.data() + done, out.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    if (!out.empty()) log_("tx " + std::to_string(done) + " bytes");
}

bool PtyTransport::service(Rom& rom) {
    uint8_t buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
    lastByteMs_ = nowMs();
    size_t i = 0;
    while (i < static_cast<size_t>(n)) {
        if (rom.takingData()) {
            const size_t left = static_cast<size_t>(n) - i;
            const size_t count = left < rom.bytesAwaited() ? left : rom.bytesAwaited();
            send(rom.data(buffer + i, count));
            i += count;
            continue;
        }
        partial_.push_back(buffer[i++]);
        if (partial_.size() == Rom::COMMAND_BYTES) {
            send(rom.command(partial_.data()));
            partial_.clear();
        }
    }
    return true;
}

int PtyTransport::timeoutMs() const {
    if (partial_.empty()) return -1;
    const uint64_t due = lastByteMs_ + dropMs_;
    const uint64_t now = nowMs();
    return due > now ? static_cast<int>(due - now) : 0;
}

void PtyTransport::idle() {
    if (!partial_.empty() && nowMs() >= lastByteMs_ + dropMs_) {
        log_("dropped partial command of " + std::to_string(partial_.size()) + " bytes");
        partial_.clear();
    }
}

}  // namespace imxsim
