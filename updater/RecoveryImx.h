// Recovery through the i.MX boot ROM: a small loader from a firmware file is put into
// the processor's RAM over the serial download protocol and started; the module then
// answers on USB and the rest runs over the device link.
#pragma once

#include <cstdint>
#include <string>

#include "Fingerprint.h"
#include "TrelFile.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// Starts the recovery loader and reads the chip identifier through it (system option 39,
// subindex i into word 3 - i); resets the module afterwards when reset is set. Serial 0
// stands for the placeholder 0xDEADDEAD.
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port, uint32_t serial,
                          const std::string& trelPath, Fingerprint& fp, bool reset);
// Writes the file's loader blocks into the boot ROM's RAM and starts the loader. Port
// "USB" uses USB HID, anything else names a serial port. aErrNotReady when the transport
// cannot be opened, aErrConnection when a block was refused.
aErr _transfer_recovery_loader(TrelFile& trel, const std::string& port);
// Finds the module the started loader brought up on USB and writes the firmware through
// the on-module loader protocol.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, TrelFile& trel, uint32_t serial);
