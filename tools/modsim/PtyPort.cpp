#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "HostPort.h"

namespace modsim {
namespace {

// Holds the slave open itself so that the master never reads as hung up while the host
// has the slave closed (before it opens it, or between its reconnects).
class PtyPort : public HostPort {
public:
    ~PtyPort() override {
        if (slaveHold_ >= 0) close(slaveHold_);
    }

    int renew(std::string& error) override {
        if (slaveHold_ >= 0) close(slaveHold_);
        slaveHold_ = -1;
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            error = std::string("cannot create a pty: ") + std::strerror(errno);
            if (master >= 0) close(master);
            return -1;
        }
        const char* name = ptsname(master);
        slavePath_ = name ? name : "";
        slaveHold_ = slavePath_.empty() ? -1 : open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (slaveHold_ < 0 || tcgetattr(slaveHold_, &raw) != 0) {
            error = "cannot open pty slave " + slavePath_ + ": " + std::strerror(errno);
            close(master);
            return -1;
        }
        cfmakeraw(&raw);
        tcsetattr(slaveHold_, TCSANOW, &raw);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        return master;
    }

    std::string where() const override { return "pty " + slavePath_; }

private:
    int slaveHold_ = -1;
    std::string slavePath_;
};

}  // namespace

std::unique_ptr<HostPort> openPtyPort(std::string&) {
    return std::make_unique<PtyPort>();
}

}  // namespace modsim
