#include "Updater.h"

#include <cstring>
#include <stdexcept>

const uint32_t CONNECT_ATTEMPTS = 15;
const uint32_t BLOCK_RETRIES = 5;
const uint8_t systemUniqueIdentifier = 39;

Updater::Updater(const char* serverUrl_, const char* storeDir_, UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_), storeDir(storeDir_), display(&display_) {}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDir,
                                                  const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(storeDir.c_str());
    } catch (const std::runtime_error& error) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller, error.what());
        return nullptr;
    }
}

bool _settings_readable(UpdaterDisplayInterface& display, const UpdaterStoreItem& item) {
    const int error = item.settings.ReadError();
    if (error == 0) return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to read the settings file %s",
                    item.settings.filename.c_str());
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: %s", item.settings.filename.c_str(), strerror(error));
    return false;
}
