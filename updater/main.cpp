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
#include "ServerFailure.h"
#include "Usage.h"
#include "Updater.h"
#include "aDirectory.h"

namespace {

constexpr UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr size_t kPathSize = 2048;

// `name` joined to `directory` as aDirectory_JoinPath joins them, for naming a path that
// did not fit its buffer.
std::string joinedPath(const std::string& directory, const char* name) {
    if (directory.empty() || directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

void reportStorageFailure(UpdaterDisplayInterface& display, const std::string& path, const std::string& reason) {
    display.message(ERROR, "Could not find updater directory at %s", path.c_str());
    display.message(ERROR, "Reason: %s", reason.c_str());
}

// `-i`, or the home directory joined with ".veltrane"; then "updater". Empty when it cannot
// be made, once the path and the reason are told.
std::string resolveStorageDirectory(UpdaterDisplayInterface& display, const Parameters& params) {
    std::string base = params.storeDirectory;
    if (base.empty()) {
        char home[kPathSize] = "";
        const aErr found = aDirectory_GetHomeDirectory(home, sizeof home);
        if (found != aErrNone) {
            reportStorageFailure(display, "~/.veltrane/updater",
                                 found == aErrNotFound
                                     ? "no home directory: the user has no entry in the password database and HOME "
                                       "is not set; give the store's directory with -i"
                                     : "the home directory's path is longer than " + std::to_string(kPathSize - 1) +
                                           " characters; give the store's directory with -i");
            return std::string();
        }
        base = joinedPath(home, ".veltrane");
    }
    const std::string wanted = joinedPath(base, "updater");
    char path[kPathSize] = "";
    if (aDirectory_JoinPath(path, sizeof path, base.c_str(), "updater") != aErrNone) {
        const std::string reason = "the path is " + std::to_string(wanted.size()) +
                                   " characters long; a store path may have at most " + std::to_string(kPathSize - 2);
        reportStorageFailure(display, wanted, reason);
        return std::string();
    }
    if (aDirectory_Ensure(path, 0755) != aErrNone) {
        reportStorageFailure(display, path, _directory_problem(path));
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
    // A script must be able to tell a failed request from an empty list, and a reader of
    // standard output alone that the empty table is no answer of the server.
    if (!answered && builds.empty()) {
        const std::string why = _last_server_failure();
        display.message(INFO, "Reason: the update server gave no build list%s%s", why.empty() ? "" : ": ", why.c_str());
    }
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
