// The one command object of the application: every firmware command main runs is a
// method here, sharing only the server URL, the store directory and the display.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Module.h"
#include "TrelFile.h"
#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"
#include "discover.h"

extern const uint32_t CONNECT_ATTEMPTS;
extern const uint32_t BLOCK_RETRIES;
extern const uint8_t systemUniqueIdentifier;

class Updater {
public:
    Updater(const char* serverUrl, const char* storeDir, UpdaterDisplayInterface& display);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // `answered`, when given, tells whether the server gave its answer (an empty list
    // or a valid token) rather than failing.
    BuildMap Get_BuildList(uint32_t serial, bool* answered = nullptr);
    BuildMap Get_BuildListLocal(uint32_t serial);
    std::string Get_JWT(uint32_t serial, bool* answered = nullptr);
    // The build number fetched into the store, 0 on failure. An empty build text
    // means the server's latest build for the module.
    uint32_t Download_Firmware(uint32_t serial, std::string buildText, bool override, bool noCal);

    // Discovery (UpdaterDiscovery.cpp).
    // Every module found on the transport, each asked for its firmware; type 0
    // searches USB, then TCPIP.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    // The modules on the I2C network behind the router; type is the router's
    // transport, 0 to find it.
    std::vector<DeviceInfo> Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type);

    // Firmware updates (UpdaterFirmware.cpp).
    // The firmware file at path, else the store's file of the build, downloaded first when
    // download is set; throws std::runtime_error. word names the action in messages.
    TrelFile load_trel(const char* word, const std::string& path, uint32_t serial, uint32_t build, bool download);
    // True when the firmware was sent and the module rebooted. Build 0 chooses the build;
    // router serial 0 reaches the module directly.
    bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& path, uint8_t moduleAddress,
                         uint32_t routerSerial, bool override);

    const std::string serverUrl;
    const std::string storeDir;
    UpdaterDisplayInterface* const display;
    uint8_t chipType = 0;
};

// A new store rooted at storeDir, or an empty pointer (reported) when it cannot be opened.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDir,
                                                  const char* caller);
// True when the server lists the build for the module.
bool _valid_build(uint32_t serial, uint32_t build, const char* serverUrl);

// Steps of a firmware update (UpdaterFirmware.cpp).
// True when the file suits the connected module: serial number and model.
bool _validate_trelfile(UpdaterDisplayInterface& display, TrelFile& file, Veltrane::Corvalith::Module& module,
                        uint32_t serial);
// Sends the loader blocks and starts the loader.
aErr _transfer_loader(UpdaterDisplayInterface& display, Veltrane::Corvalith::Module& module, TrelFile& file);
// Sends the firmware blocks, each with retries, and has the module reboot.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Veltrane::Corvalith::Module& module, TrelFile& file,
                        bool noLinkDropWait);
