// The firmware update command: choose and read the firmware file, reach the module
// directly or through a router, check the file against it, send the loader and the
// firmware, and record the transfer in the module's settings.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "FileProblem.h"
#include "FirmwareFileCheck.h"
#include "InterruptNotice.h"
#include "Log.h"
#include "ModuleLock.h"
#include "ModuleNetworkConfig.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UsbAccess.h"
#include "aDefs.h"
#include "aTime.h"

using Veltrane::Corvalith::Module;
using Veltrane::Corvalith::SystemClass;

namespace {

const uint32_t CONNECT_DELAY_MS = 1000;
// A firmware attempt that lost the module gets it back quickly or not at all: the
// loader is already running and listens again at once.
const uint32_t RETRY_CONNECT_ATTEMPTS = 5;
const uint32_t RETRY_CONNECT_DELAY_MS = 500;
const uint8_t ANY_MODEL = 0;

// The leading decimal digits of a setting, 0 when there are none or the key is missing.
uint32_t settingNumber(const KeyValueStore& settings, const char* key) {
    const std::string value = settings.GetString(key, "");
    if (value.empty() || !isdigit(static_cast<unsigned char>(value[0]))) return 0;
    return static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
}

std::string buildFileName(uint32_t build) {
    return std::to_string(build) + ".trel";
}

std::string serialDirectoryName(uint32_t serial) {
    char name[9];
    snprintf(name, sizeof name, "%08X", serial);
    return name;
}

// Connects on USB, and on TCP/IP when USB does not find the module. A module that is
// on the bus but cannot be opened is not "not found": its own error stands.
aErr connectDirect(Module& module, uint32_t serial) {
    const aErr result = module.connect(USB, serial);
    if (result != aErrNotFound) return result;
    const aErr unopened = _unopened_usb_module(serial);
    return unopened != aErrNone ? unopened : module.connect(TCPIP, serial);
}

// Why a direct connect failed: a module on USB that cannot be opened is named with the
// system's reason; otherwise the module was not found, or found with a link that did not start.
void explainConnectFailure(UpdaterDisplayInterface& display, aErr result, uint32_t serial) {
    if ((result == aErrPermission || result == aErrBusy || result == aErrIO) &&
        _report_unopened_usb_modules(display, serial) > 0)
        return;
    if (result == aErrNotFound) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Reason: no module %08X answered on USB or on the network: check that it is connected and "
                        "powered",
                        serial);
        return;
    }
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Reason: module %08X was found, but its link did not start: %s (error %d)", serial,
                    aError_GetErrorDescription(result), static_cast<int>(result));
}

// Reconnects with the module's stored link specifier, which names USB, TCP/IP
// or the router it is reached through. A failed attempt can leave a link that never
// ran, and a held link refuses a reconnect, so every attempt starts by letting go.
bool reconnectModule(Module& module, uint32_t attempts, uint32_t delayMs) {
    for (uint32_t attempt = 1; attempt <= attempts; ++attempt) {
        module.disconnect();
        if (module.reconnect() == aErrNone && module.isConnected()) return true;
        Log::log(DEBUG_Updater, "Reconnect attempt %u of %u failed\n", attempt, attempts);
        if (attempt < attempts) aTime_MSSleep(delayMs);
    }
    return false;
}

// A second update of the same module, from any store and by any user, would interleave two
// loader exchanges: it is refused at once. A lock the system cannot make does not stop the update.
bool lockModule(UpdaterDisplayInterface& display, ModuleLock& lock, uint32_t serial) {
    std::string reason;
    const ModuleLock::Result locked = lock.acquire(serial, reason);
    if (locked == ModuleLock::BUSY) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Module %08X is busy: another update of it is running (%s)", serial, reason.c_str());
        return false;
    }
    if (locked == ModuleLock::UNAVAILABLE)
        Log::log(DEBUG_Updater, "Updating without the module lock: %s\n", reason.c_str());
    return true;
}

// Why the firmware file could not be loaded, in words a user can act on: the file system's
// reason, else the loader's own.
std::string fileProblem(const std::string& filePath, const std::string& why) {
    const std::string problem = _firmware_file_problem(filePath);
    if (problem.find("(its contents do not load)") != std::string::npos) return filePath + ": " + why;
    return problem;
}

// Written only after a successful transfer: the settings name what the module now runs. The
// save changes only these keys, on the record as it stands then, so a download made while the
// module was being written keeps its own. A store that cannot be written (read-only, full)
// does not undo the update, but the user learns that the next -U cannot know what the module runs.
void recordTransfer(UpdaterDisplayInterface& display, UpdaterStoreItem& item, const std::string& transferred,
                    uint32_t serial) {
    item.settings.Add("LATEST_TRANSFER", transferred);
    item.settings.Add("LAST_TRANSFER_DATE", CurrentTimeText());
    if (!item.settings.Save()) {
        const int error = errno;
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Module %08X was updated, but the transfer could not be recorded in the store", serial);
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", item.settings.filename.c_str(),
                        strerror(error));
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
}

}  // namespace

bool _validate_trelfile(UpdaterDisplayInterface& display, TrelFile& file, Module& module, uint32_t serial) {
    if (file.blockCount == 0) return false;
    if (!file.hasSerialBlock && !file.ValidateSerialNumber(serial)) return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    const aErr serialResult = system.getSerialNumber(&moduleSerial);
    if (moduleSerial != serial) {
        Log::log(DEBUG_Updater, "Trel serial number and connected device don't match (%d).\n", serialResult);
        return false;
    }
    uint8_t model = 0;
    const aErr modelResult = system.getModel(&model);
    const char* modelName = aDefs_GetModelName(model);
    if (!file.ValidateModel(modelName)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Connected device model and Trel file model do not match [%s] (%d)", modelName, modelResult);
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, TrelFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr result = entity.LoaderInit();
    if (result != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", result, aError_GetErrorText(result));
        return result;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader to device");
    const std::vector<TrelBlock> blocks = file.FindBlocks(TrelFile::BLOCK_LOADER);
    display.display_progress(true);
    int number = 1;
    int total = 0;
    for (const TrelBlock& block : blocks) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader block %d of %d, %d bytes", number,
                        static_cast<int>(blocks.size()), static_cast<int>(block.length));
        uint16_t pieceSize = 0;
        result = entity.TransferPrepare(block.data, block.length, block.flags, pieceSize);
        if (result != aErrNone && result != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", result, aError_GetErrorText(result));
            break;
        }
        result = entity.LoaderTransfer(block.data, block.length);
        // A loader with a block missing must never be started.
        if (result != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", result, aError_GetErrorText(result));
            break;
        }
        total += static_cast<int>(block.length);
        ++number;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes", number - 1, total);
    display.display_progress(false);
    if (result != aErrNone) return result;

    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Starting Load on Device");
    InterruptNotice::EnterLoader();
    result = entity.LoaderStart();
    if (result == aErrTimeout) {
        Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        result = aErrNone;
    } else if (result != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error starting loader [%d, %s]", result,
                        aError_GetErrorText(result));
    }
    return result;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, TrelFile& file, bool noLinkDropWait) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, noLinkDropWait);
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
    const std::vector<TrelBlock> blocks = file.FindBlocks(TrelFile::BLOCK_FIRMWARE);
    unsigned number = 1;
    int total = 0;
    aErr result = aErrNone;
    for (const TrelBlock& block : blocks) {
        for (uint32_t attempt = 0; attempt < BLOCK_RETRIES; ++attempt) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring firmware block %u of %u, %d bytes",
                            number, static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
            if (attempt > 0) {
                display.message(UpdaterDisplayInterface::LEVEL_INFO, "  Retry %d", static_cast<int>(attempt));
                // A link that looks up may still have lost the module (a USB device that
                // re-enumerated); every retry starts on a fresh link.
                reconnectModule(module, RETRY_CONNECT_ATTEMPTS, RETRY_CONNECT_DELAY_MS);
            }
            uint16_t pieceSize = 0;
            result = entity.TransferPrepare(block.data, block.length, block.flags, pieceSize);
            if (result != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", result,
                         aError_GetErrorText(result));
                break;
            }
            result = entity.FirmwareTransfer(block.data, block.length, pieceSize, display);
            if (result == aErrNone) break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", result, aError_GetErrorText(result));
        }
        if (result != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += static_cast<int>(block.length);
        ++number;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes",
                    static_cast<int>(number - 1), total);
    if (result == aErrNone) result = entity.LoaderReboot(display);
    return result;
}

aErr _transfer_update(UpdaterDisplayInterface& display, Module& module, TrelFile& file, bool noLinkDropWait) {
    aErr result = _transfer_loader(display, module, file);
    // The module restarts into its loader; it comes back where its link said it was.
    if (result == aErrNone && !module.isConnected()) reconnectModule(module, CONNECT_ATTEMPTS, CONNECT_DELAY_MS);
    if (result == aErrNone) result = _transfer_firmware(display, module, file, noLinkDropWait);
    return result;
}

TrelFile Updater::load_trel(const char* word, const std::string& path, uint32_t serial, uint32_t build, bool download) {
    auto store = _createUpdaterStore(*display, storeDir, "load_trel");
    if (!store) return TrelFile();
    if (!path.empty()) {
        display->message(UpdaterDisplayInterface::LEVEL_INFO, "%s from Trelfile: %s", word, path.c_str());
        return TrelFile(path.c_str());
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    display->message(UpdaterDisplayInterface::LEVEL_INFO, "%s firmware with build: %u", word, build);
    const std::string fileName = buildFileName(build);
    try {
        return item.ReadTrelFile(fileName.c_str());
    } catch (const std::runtime_error&) {
        if (!download) throw std::runtime_error("Error reading trelfile");
    }
    display->message(UpdaterDisplayInterface::LEVEL_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return item.ReadTrelFile(fileName.c_str());
}

uint32_t Updater::chooseBuild(UpdaterStoreItem& item, uint32_t serial, uint32_t build) {
    if (build == 0) {
        std::string latest;
        std::string firmware;
        UpdateServerRequest::QueryBuild(serial, latest, firmware, serverUrl.c_str());
        if (!UpdateServerRequest::ParseBuildNumber(latest, build)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
            build = 0;
        }
        if (build != 0) {
            try {
                item.ReadTrelFile(buildFileName(build).c_str());
            } catch (const std::runtime_error&) {
                build = 0;
                display->message(UpdaterDisplayInterface::LEVEL_INFO,
                                 "New firmware is available.  Updater will proceed if valid firmware is found "
                                 "locally.");
            }
        }
    }
    if (build == 0) {
        build = settingNumber(item.settings, "LATEST_DOWNLOAD");
        if (build != 0) display->message(UpdaterDisplayInterface::LEVEL_INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = settingNumber(item.settings, "LATEST_TRANSFER");
        if (build != 0) display->message(UpdaterDisplayInterface::LEVEL_INFO, "Updating with the Latest Transfer");
    }
    if (build == 0)
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find valid build for this device.");
    return build;
}

bool Updater::loadFirmwareFile(const char* word, const std::string& path, uint32_t serial, uint32_t build,
                               bool download, TrelFile& file, std::string& why) {
    try {
        file = load_trel(word, path, serial, build, download);
        return true;
    } catch (const std::runtime_error& error) {
        why = error.what();
        Log::log(DEBUG_Updater, "%s\n", why.c_str());
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load trel file");
        const std::string filePath =
            path.empty() ? storeDir + "/" + serialDirectoryName(serial) + "/" + buildFileName(build) : path;
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Reason: %s", fileProblem(filePath, why).c_str());
        return false;
    }
}

bool Updater::prepareFirmware(TrelFile& file, uint32_t serial) {
    // An update must write something whole: a file without a firmware image, or whose blocks
    // run past its payload, would start the loader, write nothing (or part) and reboot the module.
    const std::string problem = FirmwareFileProblem(file, AnyFirmwareTarget());
    if (!problem.empty()) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Trelfile holds no complete firmware to write");
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", file.path.c_str(), problem.c_str());
        return false;
    }
    if (!file.hasSerialBlock) return true;
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!file.ReplaceSerialNumber(serial)) {
        Log::log(DEBUG_Updater, "Error: Unable to modify serial number in trel.\n");
        return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return true;
}

bool Updater::connectModule(Module& target, uint32_t serial, uint32_t routerSerial, aErr& result) {
    result = _disableWeave(target, *display);
    if (result != aErrNone) return true;
    if (routerSerial == 0) {
        result = connectDirect(target, serial);
        if (result != aErrNone) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
            explainConnectFailure(*display, result, serial);
        }
        return true;
    }
    if (target.getModuleAddress() == 0) {
        const std::vector<DeviceInfo> devices = Discover_CVNetwork_Devices(routerSerial, 0);
        if (devices.empty()) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Unable to find modules on Network");
            return false;
        }
        const DeviceInfo* found = nullptr;
        for (const DeviceInfo& device : devices)
            if (device.spec.serialNumber == serial) found = &device;
        if (!found) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                             "Module address required for indirect firmware update, could not find serial "
                             "number [0x%08X] on network",
                             serial);
            return false;
        }
        target.setModuleAddress(static_cast<uint8_t>(found->networkAddress & 0xFF));
    }
    // The router is let go once the target shares its link.
    auto router = std::make_unique<Module>(0, ANY_MODEL);
    result = _disableWeave(*router, *display);
    if (result != aErrNone) return true;
    const aErr routerResult = connectDirect(*router, routerSerial);
    if (routerResult != aErrNone) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to link module [%08X]", routerSerial);
        explainConnectFailure(*display, routerResult, routerSerial);
        return false;
    }
    result = target.connectThroughLinkModule(router.get());
    if (result != aErrNone) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Reason: module %08X did not answer through router %08X: %s (error %d)", serial, routerSerial,
                         aError_GetErrorDescription(result), static_cast<int>(result));
    }
    return true;
}

void Updater::reportUpdateTime(uint64_t startMs) {
    display->message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec",
                     static_cast<double>(aTime_GetMSTicks() - startMs) / 1000.0);
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string& path, uint8_t moduleAddress,
                              uint32_t routerSerial, bool override) {
    if (serial == 0) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Update command must specify the specific device");
        return false;
    }
    ModuleLock lock;
    if (!lockModule(*display, lock, serial)) return false;
    auto store = _createUpdaterStore(*display, storeDir, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem item;
    try {
        item = store->FindOrAddDevice(serial);
    } catch (const std::runtime_error&) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not create directory for storing TREL file");
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "%s",
                         _directory_problem(storeDir + "/" + serialDirectoryName(serial)).c_str());
        return false;
    }
    // The transfer is recorded at the end: a record that cannot be read refuses the update first.
    if (!_settings_readable(*display, item)) return false;
    const std::string moduleDir = item.basePath + "/" + item.name;
    InterruptNotice notice(serial, moduleDir);
    if (notice.resuming())
        display->message(UpdaterDisplayInterface::LEVEL_INFO,
                         "Module %08X was left in its loader by an interrupted update: resuming", serial);
    const uint64_t startMs = aTime_GetMSTicks();

    if (path.empty()) {
        build = chooseBuild(item, serial, build);
        if (build == 0) return false;
    }
    TrelFile file;
    std::string why;
    if (!loadFirmwareFile("Updating", path, serial, build, false, file, why)) return false;
    if (!prepareFirmware(file, serial)) return false;

    Module target(moduleAddress, ANY_MODEL);
    aErr result = aErrNone;
    if (!connectModule(target, serial, routerSerial, result)) return false;
    if (result == aErrNone && !override && !_validate_trelfile(*display, file, target, serial)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Trelfile failed validation");
        return false;
    }
    if (result == aErrNone) result = _transfer_update(*display, target, file, routerSerial != 0);
    if (result != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", result);
        return false;
    }
    notice.finished();
    recordTransfer(*display, item, path.empty() ? buildFileName(build) : path, serial);
    reportUpdateTime(startMs);
    return true;
}
