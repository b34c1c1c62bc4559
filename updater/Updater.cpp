#include "Updater.h"

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
