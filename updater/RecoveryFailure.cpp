#include "RecoveryFailure.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "HID_SDPLoader.h"
#include "aPortClaim.h"
#include "SDPLoader.h"

namespace {

std::mutex g_lock;
std::string g_reason;

std::string deniedReason(const std::string& node, const char* howToGetAccess) {
    return "permission denied on " + node + ": " + howToGetAccess + ", or run as root";
}

}  // namespace

void _record_recovery_failure(const std::string& reason) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_reason = reason;
}

std::string _last_recovery_failure() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_reason;
}

void _report_recovery_failure(UpdaterDisplayInterface& display) {
    const std::string reason = _last_recovery_failure();
    if (!reason.empty()) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Reason: %s", reason.c_str());
}

std::string _serial_port_problem(const std::string& port) {
    if (port.empty()) return "no serial port given (-s)";
    // On this process's claim of the port when it holds one, which no other open may pass.
    const int fd = aPortClaim_Open(port.c_str());
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) return "no such port: " + port;
        if (error == EBUSY) return _busy_port_reason(port, aPortClaim_HolderPid(port.c_str()));
        if (error == EACCES || error == EPERM)
            return deniedReason(port, "serial ports belong to the dialout group; add the user to it and log in again");
        return port + ": " + std::strerror(error);
    }
    const bool terminal = isatty(fd) != 0;
    close(fd);
    if (!terminal) return "not a serial port: " + port;
    return "";
}

std::string _silent_rom_reason(const std::string& port) {
    return port +
           " opened, but no boot ROM answered: check that the chip was reset into its boot loader (for an LPC17xx "
           "with its ISP pin held low) and that the baud rate (-o) suits it";
}

std::string _usb_rom_problem() {
    std::string node;
    const int error = HID_SDPLoader::whyNotOpened(IMX1050::VID, IMX1050::PID, node);
    if (error == ENODEV)
        return "no i.MX boot ROM (USB 1FC9:0130) on USB: check the cable and that the chip was started in its serial "
               "download mode";
    if (error == EACCES || error == EPERM)
        return deniedReason(node,
                            "the udev rule 70-corvalith-modules.rules gives the plugdev group access to the i.MX boot "
                            "ROM's HID node; install it and add the user to plugdev");
    if (error == 0) return "";
    return node + ": " + std::strerror(error);
}

std::string _busy_port_reason(const std::string& what, int holder) {
    const std::string by = holder > 0 ? "another program (process " + std::to_string(holder) + ")" : "another program";
    return what + " is in use by " + by +
           ", a recovery or a serial tool: nothing was sent; try again once it has finished";
}
