#include "Serial_SDPLoader.h"

#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "aPortClaim.h"
#include "aTime.h"

struct PrivateSerial_SDPLoader {
    int fd = 0;
    bool opened = false;
    // A copy: the caller's string may go away before the transport does.
    std::string path;
    struct termios settings {};
};

namespace {

const unsigned SETTLE_MS = 1000;
// A ROM that keeps sending is cut off this long after the answer was due.
const unsigned CHATTER_LIMIT_MS = 1000;

bool waitReadable(int fd, uint64_t deadline) {
    const uint64_t now = aTime_GetMonotonicMS();
    const int wait = deadline > now ? static_cast<int>(deadline - now) : 0;
    struct pollfd ready = {fd, POLLIN, 0};
    return poll(&ready, 1, wait) > 0 && (ready.revents & POLLIN);
}

}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& path) : impl(new PrivateSerial_SDPLoader) {
    impl->path = path;
}

Serial_SDPLoader::~Serial_SDPLoader() {
    if (impl->opened) {
        tcflush(impl->fd, TCIOFLUSH);
        close(impl->fd);
    }
}

bool Serial_SDPLoader::init() {
    const int fd = aPortClaim_Open(impl->path.c_str());
    if (fd < 0) return false;
    if (!isatty(fd)) {
        close(fd);
        return false;
    }
    impl->fd = fd;
    impl->opened = true;
    struct termios& tio = impl->settings;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    for (cc_t& c : tio.c_cc) c = 0;
    if (tcsetattr(fd, TCSAFLUSH, &tio) != 0) return false;
    aTime_MSSleep(SETTLE_MS);
    tcflush(fd, TCIOFLUSH);
    return true;
}

int64_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
    if (!impl->opened) return -1;
    size_t index = 1;
    uint64_t refusedSince = 0;
    while (index < packet.size()) {
        const ssize_t n = write(impl->fd, packet.data() + index, packet.size() - index);
        if (n > 0) {
            index += static_cast<size_t>(n);
            refusedSince = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        const uint64_t now = aTime_GetMonotonicMS();
        if (refusedSince == 0)
            refusedSince = now;
        else if (now - refusedSince >= WRITE_GIVE_UP_MS)
            break;
        aTime_MSSleep(1);
    }
    return static_cast<int64_t>(index - 1);
}

int64_t Serial_SDPLoader::readData(std::vector<uint8_t>& buffer, unsigned timeoutMs) {
    if (!impl->opened) return 0;
    const uint64_t start = aTime_GetMonotonicMS();
    const uint64_t cutOff = start + timeoutMs + CHATTER_LIMIT_MS;
    uint64_t deadline = start + timeoutMs;
    int64_t count = 0;
    for (;;) {
        uint8_t chunk[256];
        const ssize_t n = read(impl->fd, chunk, sizeof chunk);
        if (n > 0) {
            buffer.insert(buffer.end(), chunk, chunk + n);
            count += n;
            const uint64_t quiet = aTime_GetMonotonicMS() + QUIET_MS;
            deadline = quiet < cutOff ? quiet : cutOff;
            if (timeoutMs == 0) continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            break;
        }
        if (timeoutMs == 0 && n <= 0) break;
        if (aTime_GetMonotonicMS() >= deadline) break;
        if (!waitReadable(impl->fd, deadline)) break;
    }
    return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& buffer, unsigned index, uint32_t& word) {
    if (index > 15 || buffer.size() < 4u * (index + 2)) return false;
    word |= static_cast<uint32_t>(buffer[index + 4]) | static_cast<uint32_t>(buffer[index + 5]) << 8 |
            static_cast<uint32_t>(buffer[index + 6]) << 16 | static_cast<uint32_t>(buffer[index + 7]) << 24;
    return true;
}
