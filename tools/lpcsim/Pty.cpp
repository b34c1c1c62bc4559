#include "Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace lpcsim {

Pty::~Pty() {
    if (slaveHold_ >= 0) close(slaveHold_);
    if (master_ >= 0) close(master_);
}

bool Pty::open(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot create a pty: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    slavePath_ = name ? name : "";
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

uint32_t Pty::baudRate() const {
    static const struct {
        speed_t code;
        uint32_t rate;
    } RATES[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
                 {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}};
    termios line{};
    // The master reports the settings the host made on the slave.
    if (tcgetattr(master_, &line) != 0) return 0;
    const speed_t code = cfgetospeed(&line);
    for (const auto& entry : RATES) {
        if (entry.code == code) return entry.rate;
    }
    return 0;
}

bool Pty::write(const std::string& bytes) {
    size_t done = 0;
    int stalls = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd out{master_, POLLOUT, 0};
        if (poll(&out, 1, 100) == 0 && ++stalls >= 10) return false;
    }
    return true;
}

}  // namespace lpcsim
