// Queries that fill a DeviceInfo from a connected module.
#pragma once

#include <cstdint>

#include "DeviceInfo.h"
#include "Module.h"

// The firmware build number the module reports, 0 when it gives none.
uint32_t _get_build_number(Veltrane::Corvalith::Module& module);
// Fills the version fields and the module's own module and router addresses;
// stops at the first query that fails and returns its aErr.
aErr _get_version(Veltrane::Corvalith::Module& module, DeviceInfo& record);
