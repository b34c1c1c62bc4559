// The system entity (command 3, index 0) of one module.
#pragma once

#include "Options.h"
#include "UeiStore.h"

namespace modsim {

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kSystemVersionOption = 7;
constexpr uint8_t kSystemResetOption = 11;

void defineSystemEntity(UeiStore& store, const ModuleConfig& config);

}  // namespace modsim
