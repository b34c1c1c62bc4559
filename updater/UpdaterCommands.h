// The commands that main runs, one method each, with the arguments main passes.
// A command that this build lacks says so on standard error and answers
// std::nullopt, which main counts as a failed command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "discover.h"

class UpdaterCommands {
public:
    UpdaterCommands(const std::string& serverUrl, const std::string& storeDir, UpdaterDisplayInterface& display);
    UpdaterCommands(const UpdaterCommands&) = delete;
    UpdaterCommands& operator=(const UpdaterCommands&) = delete;

    // -N: true when the chip answered and `fingerprint` holds its words.
    std::optional<bool> Get_Fingerprint(Fingerprint& fingerprint, const std::string& serialPort, uint32_t serial,
                                        const std::string& trelFile, uint32_t baud, bool resetAfterRead);
    // -G: the build number fetched, 0 on failure.
    std::optional<uint32_t> Download_Firmware(uint32_t serial, const std::string& buildText, bool override,
                                              bool noCal);
    // -D
    std::optional<std::vector<DeviceInfo>> Discover_Devices(linkType type);
    // -D -r
    std::optional<std::vector<DeviceInfo>> Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type);
    // -U -t RECOVER
    std::optional<bool> Recover_Firmware(const std::string& serialPort, uint32_t build, uint32_t baud,
                                         uint32_t serial, const std::string& trelFile, bool override);
    // -U
    std::optional<bool> Update_Firmware(uint32_t serial, uint32_t build, const std::string& trelFile,
                                        uint8_t moduleAddress, uint32_t routerSerial, bool override);
    // -B and -L: build text to version text. `answered` is false when -B could not get
    // the server's list (an empty list is an answer).
    std::optional<BuildMap> Get_BuildList(uint32_t serial, bool& answered);
    std::optional<BuildMap> Get_BuildListLocal(uint32_t serial);
    // -J; `answered` is false when no valid token came back.
    std::optional<std::string> Get_JWT(uint32_t serial, bool& answered);

private:
    void reportMissing(const char* option);

    UpdaterDisplayInterface& display;
    Updater updater;
};
