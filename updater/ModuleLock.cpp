#include "ModuleLock.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The address of the abstract name: sun_path starts with a NUL, and the name is exactly
// the bytes after it (no terminating NUL), so its length is passed with the address.
socklen_t abstractAddress(const std::string& name, sockaddr_un& address) {
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    memcpy(address.sun_path + 1, name.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// The holder listens, so a connection tells who it is; nothing is ever accepted.
std::string holderOf(const sockaddr_un& address, socklen_t length) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return "";
    std::string holder;
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) == 0 && peer.pid > 0)
        holder = "process " + std::to_string(peer.pid);
    close(fd);
    return holder;
}

}  // namespace

ModuleLock::~ModuleLock() {
    release();
}

std::string ModuleLock::NameFor(uint32_t serial) {
    char module[16];
    snprintf(module, sizeof module, "%08X", serial);
    const char* scope = getenv("UPDATER_LOCK_SCOPE");
    const std::string prefix = scope && *scope ? std::string("corvalith-updater/") + scope : "corvalith-updater";
    return prefix + "/module/" + module;
}

ModuleLock::Result ModuleLock::acquire(uint32_t serial, std::string& reason) {
    release();
    const std::string name = NameFor(serial);
    sockaddr_un address;
    const socklen_t length = abstractAddress(name, address);
    // Close-on-exec, so no child program can keep the module locked after we exit.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason = "lock @" + name + ": " + strerror(errno);
        return UNAVAILABLE;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        close(fd);
        if (error == EADDRINUSE) {
            const std::string holder = holderOf(address, length);
            reason = "lock @" + name + " is held" + (holder.empty() ? "" : " by " + holder);
            return BUSY;
        }
        reason = "lock @" + name + ": " + strerror(error);
        return UNAVAILABLE;
    }
    listen(fd, 4);
    fd_ = fd;
    return LOCKED;
}

void ModuleLock::release() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}
