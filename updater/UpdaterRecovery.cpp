// Recovery and fingerprint commands: reach a module through its chip's boot ROM when its
// firmware does not start. The LPC17xx path talks to the ROM's serial ISP loader; the
// i.MX path (RecoveryImx.cpp) starts a loader in RAM and goes on over the device link.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FirmwareFileCheck.h"
#include "Log.h"
#include "NXPSerial.h"
#include "RecoveryFailure.h"
#include "RecoveryImx.h"
#include "RecoveryPort.h"
#include "ServerFailure.h"
#include "Updater.h"
#include "aTime.h"

namespace {

const uint8_t CHIP_IMX = 1;
const uint8_t CHIP_LPC17XX = 2;
// Flash is rewritten through the chip's RAM buffer in pieces of this size.
const uint32_t CHUNK_SIZE = 4096;
const uint32_t ALL_SECTORS_FIRST = 0;
const uint32_t ALL_SECTORS_LAST = 29;
const uint32_t FLASH_END = 0x80000;
const uint32_t COPY_ALIGNMENT = 256;
// A firmware block whose payload has this size closes the list of blocks to write.
const uint32_t END_BLOCK_PAYLOAD = 4;

// Why the chip cannot take a block where the file puts it, empty when it can. The chip copies
// RAM to flash only to 256-byte boundaries and inside its 512 KB, and every copy is rounded
// up to a size it copies.
std::string placementProblem(const TrelBlock& block) {
    const uint32_t payloadSize = block.length - 4;
    const char* problem = nullptr;
    if (block.address % COPY_ALIGNMENT != 0) problem = "does not start on a 256-byte boundary";
    for (uint32_t offset = 0; !problem && offset < payloadSize; offset += CHUNK_SIZE) {
        const uint32_t count = payloadSize - offset < CHUNK_SIZE ? payloadSize - offset : CHUNK_SIZE;
        const uint64_t copyEnd = static_cast<uint64_t>(block.address) + offset + NXPSerialClass::CopyLength(count);
        if (copyEnd > FLASH_END) problem = "would be copied past the end of the chip's flash";
    }
    if (!problem) return "";
    char text[160];
    std::snprintf(text, sizeof text, "the firmware block of %u bytes at 0x%08X %s", payloadSize, block.address, problem);
    return text;
}

// The chip's flash as a writer: every block goes straight into flash after one erase of the
// whole chip, so a byte written twice keeps only the bits both writes left set; the loader
// blocks are not used.
FirmwareTarget lpc17xxFlash() {
    FirmwareTarget target;
    target.writesLoader = false;
    target.takesOverlaps = false;
    target.closingImageSize = END_BLOCK_PAYLOAD;
    target.placementProblem = placementProblem;
    return target;
}

// One chunk through the RAM buffer into flash. The copy is rounded up to a size the chip
// copies; the RAM write covers it whole, padded with erased bytes, so nothing left in RAM
// by an earlier chunk reaches the flash.
bool writeChunk(NXPSerialClass& isp, uint32_t address, const uint8_t* bytes, uint32_t count) {
    const uint32_t copy = NXPSerialClass::CopyLength(count);
    std::vector<uint8_t> ram(copy, 0xFF);
    std::memcpy(ram.data(), bytes, count);
    Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(count), address);
    Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(copy),
             NXPSerialClass::WRITE_ADDRESS);
    if (isp.Write(NXPSerialClass::WRITE_ADDRESS, copy, ram.data()) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        return false;
    }
    // Every sector the rounded-up copy touches must be prepared, not only the chunk's own.
    const uint32_t first = NXPSerialClass::SectorFromAddress(address);
    const uint32_t last = NXPSerialClass::SectorFromAddress(address + copy - 1);
    Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
             static_cast<int>(last));
    if (isp.Prepare(first, last) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Prepare failed\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy),
             NXPSerialClass::WRITE_ADDRESS, address);
    if (isp.CopyToFlash(address, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
        return false;
    }
    return true;
}

bool writeBlocks(UpdaterDisplayInterface& display, NXPSerialClass& isp, const std::vector<TrelBlock>& blocks,
                 int shownCount) {
    int number = 1;
    int total = 0;
    for (const TrelBlock& block : blocks) {
        const uint32_t payloadSize = block.length - 4;
        const uint8_t* payload = block.data + 4;
        uint32_t address = block.address;
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring firmware block %d of %d, %d bytes", number,
                        shownCount, static_cast<int>(payloadSize));
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
                 static_cast<int>(payloadSize), address);
        for (uint32_t offset = 0; offset < payloadSize;) {
            const uint32_t count = payloadSize - offset < CHUNK_SIZE ? payloadSize - offset : CHUNK_SIZE;
            if (!writeChunk(isp, address, payload + offset, count)) {
                display.display_progress(false);
                return false;
            }
            address += count;
            offset += count;
            display.update_progress(static_cast<double>(offset) / payloadSize, nullptr);
        }
        display.display_progress(false);
        total += static_cast<int>(block.length);
        ++number;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes", shownCount, total);
    return true;
}

}  // namespace

bool _get_fingerprint_lpc(const std::string& port, uint32_t baud, Fingerprint& fp) {
    NXPSerialClass isp;
    aErr err = isp.Connect(port.c_str(), baud);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        // "USB" names the i.MX ROM's HID device, not a port the LPC17xx attempt could use.
        if (port != "USB") {
            const std::string problem = _serial_port_problem(port);
            _record_recovery_failure(problem.empty() ? port + ": " + aError_GetErrorText(err) : problem);
        }
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        _record_recovery_failure(_silent_rom_reason(port));
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        _record_recovery_failure(_silent_rom_reason(port));
        return false;
    }
    for (int i = 0; i < 4; ++i) fp.word[i] = isp.deviceID[i];
    return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, TrelFile& file, const std::string& port, uint32_t baud) {
    // A file the chip cannot take whole is refused before the flash is erased.
    const FirmwareTarget target = lpc17xxFlash();
    const std::string refusal = FirmwareFileProblem(file, target);
    if (!refusal.empty()) {
        Log::log(DEBUG_Updater, "%s\n", refusal.c_str());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to transfer firmware");
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Reason: %s", refusal.c_str());
        return false;
    }
    const std::vector<TrelBlock> blocks = FirmwareBlocksToWrite(file, target);
    // No sync: the chip is still synchronised from the fingerprint step, at this same rate.
    NXPSerialClass isp;
    bool written = isp.Connect(port.c_str(), baud) == aErrNone;
    if (!written) Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    if (written) {
        Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
        written = isp.Unlock() == aErrNone;
        if (!written) Log::log(DEBUG_Network, "Could not unlock\n");
    }
    if (written) {
        Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
        written = isp.Prepare(ALL_SECTORS_FIRST, ALL_SECTORS_LAST) == aErrNone;
        if (!written) Log::log(DEBUG_Network, "Could not prepare\n");
    }
    if (written) {
        Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
        written = isp.Erase(ALL_SECTORS_FIRST, ALL_SECTORS_LAST) == aErrNone;
        if (!written) Log::log(DEBUG_Network, "Could not erase\n");
    }
    if (written) {
        isp.SetEcho(false);
        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.path.c_str());
        // The count shown leaves out the block that closes the list.
        const int shownCount = static_cast<int>(file.FindBlocks(TrelFile::BLOCK_FIRMWARE).size()) - 1;
        written = writeBlocks(display, isp, blocks, shownCount);
    }
    if (!written) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to transfer firmware");
        return false;
    }
    const aErr err = isp.SetEcho(true);
    if (err != aErrNone) {
        // The firmware is written; only the restart is left to the user.
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Recovery Error transfering data to device ==> [%d, %s]",
                        err, aError_GetErrorText(err));
        return true;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Rebooting Device");
    isp.ExecuteFrom(0);
    return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fp, const std::string& port, uint32_t serial, const std::string& path,
                              uint32_t baud, bool reset) {
    _record_recovery_failure("");
    // Nested in a recovery's own claim of the port, this one shares it.
    RecoveryPort held;
    if (!held.take(port)) return false;
    if (_get_fingerprint_lpc(port, baud, fp)) {
        chipType = CHIP_LPC17XX;
        return true;
    }
    chipType = CHIP_IMX;
    return _get_fingerprint_imx(*display, *this, port, serial, path, fp, reset);
}

bool Updater::Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial,
                               const std::string& path, bool override) {
    const uint64_t startMs = aTime_GetMSTicks();
    Fingerprint fp{};
    // The port is this recovery's from the fingerprint to the chip's restart: a second run
    // on it is refused before it sends anything. The fingerprint step synchronises the
    // LPC17xx at the rate the write then uses.
    RecoveryPort held;
    _record_recovery_failure("");
    if (!held.take(port) || !Get_Fingerprint(fp, port, serial, path, baud, false)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not get Device Identifier");
        _report_recovery_failure(*display);
        return false;
    }
    if (path.empty()) {
        uint32_t serverBuild = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(fp.word, &serial, &serverBuild, serverUrl.c_str())) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                             "Failed to retrieve recovery information from Veltrane server");
            _report_server_failure(*display);
            return false;
        }
        if (build == 0) build = serverBuild;
    } else {
        build = 0;
    }

    TrelFile file;
    std::string why;
    if (!loadFirmwareFile("Recovering", path, serial, build, true, file, why)) return false;
    // A file without firmware would leave the chip erased and report success.
    if (file.FindBlocks(TrelFile::BLOCK_FIRMWARE).empty()) {
        Log::log(DEBUG_Updater, "The firmware file holds no firmware block.\n");
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load trel file");
        return false;
    }
    if (file.hasSerialBlock) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Updater does not support offline recovery");
        return false;
    }

    bool recovered = false;
    if (chipType == CHIP_IMX) {
        recovered = _recover_firmware_imx(*display, file, serial);
    } else if (chipType == CHIP_LPC17XX) {
        file.DecodeFirmwareBlocks(fp.word);
        recovered = _recover_firmware_lpc(*display, file, port, baud);
    } else {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Unknown device");
        return false;
    }
    reportUpdateTime(startMs);
    return recovered;
}

uint32_t Updater::Download_Firmware(Fingerprint fp, std::string buildText, bool override) {
    uint32_t build = 0;
    if (!buildText.empty() && !UpdateServerRequest::ParseBuildNumber(buildText, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        build = 0;
    }
    uint32_t serial = 0;
    uint32_t serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fp.word, &serial, &serverBuild, serverUrl.c_str())) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Failed to retrieve recovery information from Veltrane update server");
        return 0;
    }
    if (build == 0) build = serverBuild;
    return Download_Firmware(serial, std::to_string(build), override, false);
}
