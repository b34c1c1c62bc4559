// The system entity (command 3, index 0) with the identity the command line gives.
#pragma once

#include "Options.h"
#include "UeiStore.h"

namespace modsim {

constexpr uint8_t kSystemCommand = 3;

void defineSystemEntity(UeiStore& store, const Options& options);

}  // namespace modsim
