#include "UpdaterCommands.h"

UpdaterCommands::UpdaterCommands(const std::string& serverUrl, const std::string& storeDir,
                                 UpdaterDisplayInterface& display_)
    : display(display_), updater(serverUrl.c_str(), storeDir.c_str(), display_) {}

void UpdaterCommands::reportMissing(const char* option) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build", option);
}

std::optional<bool> UpdaterCommands::Get_Fingerprint(Fingerprint& fingerprint, const std::string& serialPort,
                                                     uint32_t serial, const std::string& trelFile, uint32_t baud,
                                                     bool resetAfterRead) {
    reportMissing("-N");
    return std::nullopt;
}

std::optional<uint32_t> UpdaterCommands::Download_Firmware(uint32_t serial, const std::string& buildText,
                                                           bool override, bool noCal) {
    return updater.Download_Firmware(serial, buildText, override, noCal);
}

std::optional<std::vector<DeviceInfo>> UpdaterCommands::Discover_Devices(linkType type) {
    return updater.Discover_Devices(type);
}

std::optional<std::vector<DeviceInfo>> UpdaterCommands::Discover_CVNetwork_Devices(uint32_t routerSerial,
                                                                                   linkType type) {
    return updater.Discover_CVNetwork_Devices(routerSerial, type);
}

std::optional<bool> UpdaterCommands::Recover_Firmware(const std::string& serialPort, uint32_t build, uint32_t baud,
                                                      uint32_t serial, const std::string& trelFile, bool override) {
    reportMissing("-U -t RECOVER");
    return std::nullopt;
}

std::optional<bool> UpdaterCommands::Update_Firmware(uint32_t serial, uint32_t build, const std::string& trelFile,
                                                     uint8_t moduleAddress, uint32_t routerSerial, bool override) {
    return updater.Update_Firmware(serial, build, trelFile, moduleAddress, routerSerial, override);
}

std::optional<BuildMap> UpdaterCommands::Get_BuildList(uint32_t serial, bool& answered) {
    return updater.Get_BuildList(serial, &answered);
}

std::optional<BuildMap> UpdaterCommands::Get_BuildListLocal(uint32_t serial) {
    return updater.Get_BuildListLocal(serial);
}

std::optional<std::string> UpdaterCommands::Get_JWT(uint32_t serial, bool& answered) {
    return updater.Get_JWT(serial, &answered);
}
