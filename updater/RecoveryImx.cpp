#include "RecoveryImx.h"

#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <vector>

#include "FirmwareFileCheck.h"
#include "HID_SDPLoader.h"
#include "Log.h"
#include "ModuleNetworkConfig.h"
#include "RecoveryFailure.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "SystemClass.h"
#include "aByteOrder.h"
#include "aTime.h"

using Veltrane::Corvalith::Module;
using Veltrane::Corvalith::SystemClass;

namespace {

const uint32_t PLACEHOLDER_SERIAL = 0xDEADDEADu;
const uint8_t UNIQUE_IDENTIFIER_WORDS = 4;
const uint32_t FIND_ATTEMPTS = 15;
const uint32_t FIND_DELAY_MS = 1000;

// The firmware file that carries the recovery loader; false (reported) when none can be had.
bool loadLoaderFile(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store, uint32_t serial,
                    const std::string& trelPath, TrelFile& file) {
    UpdaterStoreItem item;
    store.FindDevice(serial, &item);
    std::string name;
    if (!trelPath.empty()) {
        if (serial == PLACEHOLDER_SERIAL) {
            // The message says why: no reason from an earlier attempt is to follow it.
            _record_recovery_failure("");
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Add serial number or remove the trel filename to use a default recovery image.");
            return false;
        }
    } else if (item.IsValid()) {
        name = item.settings.GetString("LATEST_DOWNLOAD", "");
    } else {
        display.mute_messages(true);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        const uint32_t build = updater.Download_Firmware(serial, "", false, false);
        if (build != 0) {
            name = std::to_string(build) + ".trel";
            store.FindDevice(serial, &item);
        }
        display.mute_messages(false);
    }
    try {
        file = trelPath.empty() ? item.ReadTrelFile(name.c_str()) : TrelFile(trelPath.c_str());
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        if (_last_recovery_failure().empty())
            _record_recovery_failure("no recovery loader for the i.MX boot ROM: " + std::string(e.what()));
        return false;
    }
    return true;
}

// Without a ROM to talk to, the firmware file is not the first thing to mend.
void recordMissingUsbRom(const std::string& port) {
    if (port != "USB") return;
    const std::string problem = _usb_rom_problem();
    if (!problem.empty()) _record_recovery_failure(problem);
}

// Records why the target cannot take the file, when it cannot.
bool refused(const TrelFile& file, const FirmwareTarget& target) {
    const std::string problem = FirmwareFileProblem(file, target);
    if (problem.empty()) return false;
    Log::log(DEBUG_Updater, "%s\n", problem.c_str());
    _record_recovery_failure(problem);
    return true;
}

// Finds the module the started loader brought up on USB, trying each serial number in
// turn, for up to FIND_ATTEMPTS rounds a second apart.
bool findOnUsb(Module& module, std::initializer_list<uint32_t> serials) {
    for (uint32_t attempt = 0; attempt < FIND_ATTEMPTS; ++attempt) {
        if (attempt > 0) aTime_MSSleep(FIND_DELAY_MS);
        for (const uint32_t serial : serials)
            if (module.discoverAndConnect(USB, serial) == aErrNone && module.isConnected()) return true;
    }
    return false;
}

}  // namespace

aErr _transfer_recovery_loader(TrelFile& trel, const std::string& port) {
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    const std::vector<TrelBlock> blocks = trel.FindBlocks(TrelFile::BLOCK_LOADER);
    // A cut file, or a loader block too short for its load address, has no whole loader to
    // place anywhere: the file is refused before anything reaches the ROM.
    FirmwareTarget romLoader;
    romLoader.writesFirmware = false;
    if (refused(trel, romLoader)) return aErrConnection;
    SDPLoader loader;
    SDPLoader_Interface* transport = nullptr;
    if (port == "USB")
        transport = new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
    else
        transport = new Serial_SDPLoader(port);
    loader.setLoader(transport);
    if (loader.init() != SDPLoader::SDP_OK) {
        std::string problem = port == "USB" ? _usb_rom_problem() : _serial_port_problem(port);
        if (problem.empty())
            problem = port == "USB" ? "the i.MX boot ROM on USB could not be opened"
                                    : port + " could not be set up as a serial line";
        _record_recovery_failure(problem);
        return aErrNotReady;
    }

    int number = 0;
    for (const TrelBlock& block : blocks) {
        const uint32_t address = aByteOrder_ReadBE32(block.data);
        std::vector<uint8_t> image(block.data + 4, block.data + block.length);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, image.size(),
                 static_cast<int>(address));
        const int written = loader.writeLoader(std::move(image), address);
        if (written != SDPLoader::SDP_OK) {
            _record_recovery_failure(written == SDPLoader::SDP_NO_ANSWER
                                         ? _silent_rom_reason(port)
                                         : "the i.MX boot ROM did not confirm the recovery loader it was sent");
            return aErrConnection;
        }
        ++number;
    }
    // The ROM confirmed the loader: what the port's earlier users found no longer applies.
    if (!blocks.empty()) _record_recovery_failure("");
    uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    const std::vector<TrelBlock> starts = trel.FindBlocks(TrelFile::BLOCK_RECOVERY_START);
    if (!starts.empty() && starts.front().length >= 4) start = aByteOrder_ReadBE32(starts.front().data);
    loader.startLoader(start);
    return aErrNone;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port, uint32_t serial,
                          const std::string& trelPath, Fingerprint& fp, bool reset) {
    const std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.storeDir, "_get_fingerprint_imx");
    if (!store) return false;
    if (serial == 0) serial = PLACEHOLDER_SERIAL;

    TrelFile file;
    if (!loadLoaderFile(display, updater, *store, serial, trelPath, file)) {
        if (trelPath.empty()) recordMissingUsbRom(port);
        return false;
    }
    // A file named by path is the recovery's own: its firmware is checked too before its
    // loader starts, so a file that cannot be written whole leaves the ROM untouched.
    if (!trelPath.empty() && refused(file, AnyFirmwareTarget())) {
        recordMissingUsbRom(port);
        return false;
    }
    if (_transfer_recovery_loader(file, port) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Module module(0, 0);
    if (_disableWeave(module, display) != aErrNone) return false;
    if (!findOnUsb(module, {serial})) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        // A start no ROM confirmed says nothing new: an earlier reason stays.
        if (_last_recovery_failure().empty())
            _record_recovery_failure("the recovery loader started, but no module answered on USB");
        return false;
    }

    SystemClass system;
    system.init(&module, 0);
    for (uint8_t i = 0; i < UNIQUE_IDENTIFIER_WORDS; ++i) {
        uint32_t value = 0;
        if (system.getUEI32(systemUniqueIdentifier, i, &value) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
            return false;
        }
        fp.word[3 - i] = value;
    }
    if (reset) system.reset();
    return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, TrelFile& trel, uint32_t serial) {
    // The module's loader places the blocks itself; a file it cannot write whole is refused
    // before the module is looked for.
    const std::string problem = FirmwareFileProblem(trel, AnyFirmwareTarget());
    if (!problem.empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to transfer firmware");
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Reason: %s", problem.c_str());
        return false;
    }
    Module module(0, 0);
    if (_disableWeave(module, display) == aErrNone) {
        if (!findOnUsb(module, {PLACEHOLDER_SERIAL, serial})) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not connect to device");
            return false;
        }
        if (_transfer_firmware(display, module, trel, false) == aErrNone) return true;
    }
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to transfer firmware");
    return false;
}
