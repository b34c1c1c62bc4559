// The network configuration every command gives a Module before its first connection:
// plain USB or TCP/IP links, never shared through a link server and never retried as one.
#pragma once

#include "Module.h"
#include "UpdaterDisplayInterface.h"

// The aErr of Module::setConfig; a failure is reported on the display.
aErr _disableWeave(Veltrane::Corvalith::Module& module, UpdaterDisplayInterface& display);
