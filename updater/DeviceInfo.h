// One discovered module, as the discovery commands return it and the device table prints it.
#pragma once

#include <cstdint>
#include <string>

#include "aError.h"
#include "discover.h"

struct DeviceInfo {
    linkSpec spec{};              // moduleAddress and routerAddress are the module's own answers
    uint16_t networkAddress = 0;  // address on a router's I2C network; set behind a router only
    uint32_t buildNumber = 0;     // 0 when the build-number query failed
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;
    aErr error = 0;  // result of the last query of the module
};
