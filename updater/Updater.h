// The one command object of the application: every firmware command main runs is a
// method here, sharing only the server URL, the store directory and the display.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
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

    // Recovery through the chip's boot ROM (UpdaterRecovery.cpp).
    // Reads the chip's four identifier words: an LPC17xx on the serial port first, else an
    // i.MX (port "USB" for USB HID); sets chipType. Serial 0xDEADDEAD stands for none.
    bool Get_Fingerprint(Fingerprint& fp, const std::string& port, uint32_t serial, const std::string& path,
                         uint32_t baud, bool reset);
    // Writes a whole firmware into a module whose firmware does not start. Without a path the
    // server names the serial number and build for the fingerprint; a non-zero build wins.
    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial,
                          const std::string& path, bool override);
    // The build the server names for the fingerprint (or buildText when not 0) fetched into
    // the store; the build number, 0 on failure.
    uint32_t Download_Firmware(Fingerprint fp, std::string buildText, bool override);

    const std::string serverUrl;
    const std::string storeDir;
    UpdaterDisplayInterface* const display;
    // 2 after an LPC17xx answered, 1 otherwise; set by Get_Fingerprint.
    uint8_t chipType = 0;

private:
    // Steps of an update, in the order Update_Firmware tells its story (UpdaterFirmware.cpp);
    // the recovery commands reuse those that do the same. Each reports its own failure.

    // The build to write when no file was named: the number given, else the server's latest
    // build once the store holds it, else LATEST_DOWNLOAD, else LATEST_TRANSFER; 0 when none.
    uint32_t chooseBuild(UpdaterStoreItem& item, uint32_t serial, uint32_t build);
    // load_trel, a failure reported as "Failed to load trel file"; why gets the loader's reason.
    bool loadFirmwareFile(const char* word, const std::string& path, uint32_t serial, uint32_t build, bool download,
                          TrelFile& file, std::string& why);
    // True when the file holds a whole firmware, the module's serial number patched into a
    // file built for any module.
    bool prepareFirmware(TrelFile& file, uint32_t serial);
    // Connects the target directly (USB, then TCP/IP) or through the router, looking its
    // address up on the router's network when it is 0. False when the command ends at once;
    // otherwise result holds the connection's outcome, which the later steps carry.
    bool connectModule(Veltrane::Corvalith::Module& target, uint32_t serial, uint32_t routerSerial, aErr& result);
    // Reports the time since startMs (aTime_GetMSTicks).
    void reportUpdateTime(uint64_t startMs);

    // Server requests (UpdaterBuilds.cpp).
    // The server answers its ping; otherwise reported with the reason.
    bool serverReachable();
    // Pings, then asks; a failure of either is reported, the request's as failure and serial.
    template <typename Request>
    bool askServer(const char* failure, uint32_t serial, Request request);
};

// A new store rooted at storeDir, or an empty pointer (reported) when it cannot be opened.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDir,
                                                  const char* caller);
// True unless the entry's .settings exists but cannot be read; then the error is reported
// with its reason (nothing writes over such a file).
bool _settings_readable(UpdaterDisplayInterface& display, const UpdaterStoreItem& item);
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
// The whole write: the loader, the module back once it restarted into it, then the firmware.
aErr _transfer_update(UpdaterDisplayInterface& display, Veltrane::Corvalith::Module& module, TrelFile& file,
                      bool noLinkDropWait);

// LPC17xx recovery steps (UpdaterRecovery.cpp).
// Synchronises with the ISP loader at the rate and reads its four device ID words.
bool _get_fingerprint_lpc(const std::string& port, uint32_t baud, Fingerprint& fp);
// Erases the flash and writes the (unscrambled) firmware blocks; the chip must still be
// synchronised at this rate.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, TrelFile& file, const std::string& port, uint32_t baud);
