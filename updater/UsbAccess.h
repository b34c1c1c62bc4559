// Modules that are on the USB bus but that this user may not open: said out loud, with
// the way to non-root access, instead of being taken for absent.
#pragma once

#include <cstdint>

#include "UpdaterDisplayInterface.h"
#include "aError.h"

// The error (aErrPermission, aErrBusy, aErrIO) of the first module on USB that the bus
// lists but that cannot be opened, `serial`'s only when it is not 0; aErrNone when none.
aErr _unopened_usb_module(uint32_t serial);
// Reports every such module as an error, then how non-root access is given when one was
// refused permission; returns how many were reported.
unsigned _report_unopened_usb_modules(UpdaterDisplayInterface& display, uint32_t serial);
