#include "ResultTables.h"

#include <cstdio>

#include "aDefs.h"

namespace {

constexpr UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

const char* transportName(linkType type) {
    switch (type) {
    case USB:
        return "USB";
    case TCPIP:
        return "TCPIP";
    default:
        return "Unknown";
    }
}

// The four bytes of the address in stored (network) order.
std::string ipAddressText(uint32_t ipAddress) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ipAddress);
    char text[32];
    snprintf(text, sizeof text, "[%d.%d.%d.%d]", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

void printDevice(UpdaterDisplayInterface& display, const DeviceInfo& device) {
    const linkSpec& spec = device.spec;
    const char* model = aDefs_GetModelName(static_cast<int>(spec.model));
    if (spec.type == TCPIP) {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s", spec.serialNumber,
                        spec.moduleAddress, spec.routerAddress, model, device.versionMajor, device.versionMinor,
                        static_cast<int>(device.versionPatch), device.buildNumber,
                        ipAddressText(spec.ipAddress).c_str());
    } else if (device.error != 0) {
        display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serialNumber,
                        device.error);
    } else {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", spec.serialNumber,
                        spec.moduleAddress, spec.routerAddress, model, device.versionMajor, device.versionMinor,
                        static_cast<int>(device.versionPatch), device.buildNumber);
    }
}

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(INFO, "%s (%s)", "Updater", "Version: 2.10.8 Sep 13 2024");
}

void _display_notice(UpdaterDisplayInterface& display) {
    display.message(INFO, "Keep a module connected and powered until its update has finished.");
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType searched) {
    display.message(INFO, "Discovered Devices: (%s)", transportName(searched));
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)%s",
                    searched == USB ? "" : "   [IP address]");
    for (const auto& device : devices) printDevice(display, device);
}

void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serialNumber) {
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serialNumber);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& build : UpdateServerRequest::SortBuildsByVersion(builds)) {
        display.message(INFO, "%-15.15s\t%-15.15s", build.first.c_str(), build.second.c_str());
    }
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.word[0], fingerprint.word[1], fingerprint.word[2],
                    fingerprint.word[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
    display.message(INFO, "%s", token.c_str());
}
