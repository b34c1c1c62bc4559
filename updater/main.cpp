// Entry point: parse the command line, prepare the store directory and run the
// selected commands in their fixed order; the exit code is 0 or 1.
#include <cstdio>
#include <string>

#include "CLI_Display.h"
#include "CommandLine.h"
#include "FileProblem.h"
#include "Log.h"
#include "Parameters.h"
#include "RecoveryFailure.h"
#include "ResultTables.h"
#include "Usage.h"
#include "Updater.h"
#include "aDirectory.h"

namespace {

constexpr UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr size_t kPathSize = 2048;

// `-i`, or the home directory joined with ".veltrane"; then "updater". Empty when it cannot be made.
std::string resolveStorageDirectory(UpdaterDisplayInterface& display, const Parameters& params) {
    char base[kPathSize] = "";
    char path[kPathSize] = "";
    aErr err = aErrNone;
    if (params.storeDirectory.empty()) {
        char home[kPathSize] = "";
        err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err == aErrNone) err = aDirectory_JoinPath(base, sizeof base, home, ".veltrane");
    } else {
        snprintf(base, sizeof base, "%s", params.storeDirectory.c_str());
    }
    if (err == aErrNone) err = aDirectory_JoinPath(path, sizeof path, base, "updater");
    if (err == aErrNone) err = aDirectory_Ensure(path, 0755);
    if (err != aErrNone) {
        display.message(ERROR, "Could not find updater directory at %s", path[0] ? path : "~/.veltrane/updater");
        if (path[0]) display.message(ERROR, "%s", _directory_problem(path).c_str());
        return std::string();
    }
    return path;
}

int runDiscover(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params) {
    const linkType kind = params.transportGiven && params.transport != RECOVER ? params.transport : 0;
    std::vector<DeviceInfo> devices;
    linkType shown = kind;
    if (params.routerSerial != 0) {
        display.message(INFO, "Searching for Corvalith Network devices connected to %08X", params.routerSerial);
        devices = updater.Discover_CVNetwork_Devices(params.routerSerial, kind);
    } else {
        display.message(INFO, "Searching for Corvalith devices");
        shown = kind == 0 ? linkType(USB) : kind;
        devices = updater.Discover_Devices(shown);
    }
    _display_device_list(display, devices, shown);
    return 0;
}

int runUpdate(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params) {
    const uint32_t build = _get_int_arg(params.buildText.c_str());
    bool updated = false;
    if (params.transport == RECOVER) {
        updated = updater.Recover_Firmware(params.serialPort, build, params.portBaud, params.deviceSerial,
                                           params.trelFile, params.override);
    } else if (params.deviceSerial == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return 1;
    } else {
        updated = updater.Update_Firmware(params.deviceSerial, build, params.trelFile, params.moduleAddressByte,
                                          params.routerSerial, params.override);
    }
    return updated ? 0 : 1;
}

bool haveSerialFor(UpdaterDisplayInterface& display, const Parameters& params, const char* commandName) {
    if (params.deviceSerial != 0) return true;
    display.message(ERROR, "Error must supply a serial number for the %s command", commandName);
    _display_usage(false, false);
    return false;
}

int runBuildList(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params, bool local) {
    if (!haveSerialFor(display, params, local ? "List Local Builds" : "List Builds")) return 1;
    bool answered = true;
    const auto builds =
        local ? updater.Get_BuildListLocal(params.deviceSerial) : updater.Get_BuildList(params.deviceSerial, &answered);
    _display_builds(display, builds, params.deviceSerial);
    // A script must be able to tell a failed request from an empty list.
    return answered ? 0 : 1;
}

int runJwt(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params) {
    if (!haveSerialFor(display, params, "Get JWT")) return 1;
    bool answered = true;
    const auto token = updater.Get_JWT(params.deviceSerial, &answered);
    _display_jwt(display, token);
    return answered ? 0 : 1;
}

int runCommands(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    int pending = 0;

    if (params.commands.IsSet(COMMAND_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint{};
        if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.trelFile, params.portBaud,
                                    true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(ERROR, "Got no response from chip");
            _report_recovery_failure(display);
            pending = 1;
        }
    }

    if (params.commands.IsSet(COMMAND_GET)) {
        if (params.deviceSerial == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return 1;
        }
        display.message(INFO, "Retrieving firmware for device with serial number %08X", params.deviceSerial);
        if (params.buildText.empty()) {
            display.message(INFO, "No build specified");
            display.message(INFO, "Using Latest build");
        } else {
            display.message(INFO, "Retrieving firmware build %s", params.buildText.c_str());
        }
        const uint32_t build = updater.Download_Firmware(params.deviceSerial, params.buildText, params.override, false);
        // A following -U installs exactly the build that was fetched.
        if (build != 0) params.buildText = std::to_string(build);
        pending = build != 0 ? 0 : 1;
    }

    if (params.commands.IsSet(COMMAND_DISCOVER)) return runDiscover(display, updater, params);
    if (params.commands.IsSet(COMMAND_UPDATE)) return runUpdate(display, updater, params);
    if (params.commands.IsSet(COMMAND_BUILDS)) return runBuildList(display, updater, params, false);
    if (params.commands.IsSet(COMMAND_LOCAL_BUILDS)) return runBuildList(display, updater, params, true);
    if (params.commands.IsSet(COMMAND_JWT)) return runJwt(display, updater, params);
    return pending;
}

}  // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, params) != 0) {
        _display_app_version(display);
        _display_notice(display);
        _display_usage(false, false);
        return 1;
    }

    _display_app_version(display);
    if (params.help || !params.commands.IsSet(COMMAND_ANY)) {
        _display_notice(display);
        _display_usage(params.extendedUsage, params.help);
        return 0;
    }

    const std::string storageDirectory = resolveStorageDirectory(display, params);
    if (storageDirectory.empty()) return 1;

    Updater updater(params.serverUrl.c_str(), storageDirectory.c_str(), display);
    return runCommands(display, updater, params);
}
