#include <cerrno>
#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "Transport.h"

namespace imxsim {

namespace {

const uint8_t REPORT_COMMAND = 1;
const uint8_t REPORT_DATA = 2;
const uint8_t REPORT_SECURITY = 3;
const uint8_t REPORT_STATUS = 4;
const size_t STATUS_PAYLOAD = 64;

}  // namespace

HidTransport::~HidTransport() {
    if (peer_ >= 0) close(peer_);
    if (listen_ >= 0) {
        close(listen_);
        unlink(path_.c_str());
    }
}

bool HidTransport::open(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "socket path too long";
        return false;
    }
    std::strcpy(addr.sun_path, path.c_str());
    unlink(path.c_str());
    listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 4) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

void HidTransport::send(const std::vector<Reply>& replies) {
    for (const Reply& r : replies) {
        std::vector<uint8_t> report;
        if (r.kind == Reply::Security) {
            report.resize(1 + r.bytes.size());
            report[0] = REPORT_SECURITY;
            std::copy(r.bytes.begin(), r.bytes.end(), report.begin() + 1);
            ::send(peer_, report.data(), report.size(), MSG_NOSIGNAL);
            continue;
        }
        // Status and register bytes travel in 64-byte report 4 payloads, zero padded.
        size_t offset = 0;
        do {
            report.assign(1, REPORT_STATUS);
            const size_t n = r.bytes.size() - offset < STATUS_PAYLOAD ? r.bytes.size() - offset : STATUS_PAYLOAD;
            report.insert(report.end(), r.bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                          r.bytes.begin() + static_cast<std::ptrdiff_t>(offset + n));
            report.resize(1 + STATUS_PAYLOAD, 0);
            ::send(peer_, report.data(), report.size(), MSG_NOSIGNAL);
            offset += n;
        } while (offset < r.bytes.size());
    }
    if (!replies.empty()) log_("tx " + std::to_string(replies.size()) + " replies");
}

bool HidTransport::service(Rom& rom) {
    if (peer_ < 0) {
        peer_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer_ >= 0) log_("host connected");
        return true;
    }
    uint8_t report[2048];
    const ssize_t n = recv(peer_, report, sizeof report, 0);
    if (n <= 0) {
        log_("host disconnected");
        close(peer_);
        peer_ = -1;
        return true;
    }
    if (report[0] == REPORT_COMMAND && static_cast<size_t>(n) >= 1 + Rom::COMMAND_BYTES && !rom.takingData()) {
        send(rom.command(report + 1));
    } else if (report[0] == REPORT_DATA && rom.takingData()) {
        const size_t count = static_cast<size_t>(n) - 1;
        send(rom.data(report + 1, count < rom.bytesAwaited() ? count : rom.bytesAwaited()));
    } else {
        log_("report " + std::to_string(report[0]) + " of " + std::to_string(n) + " bytes ignored");
    }
    return true;
}

}  // namespace imxsim
