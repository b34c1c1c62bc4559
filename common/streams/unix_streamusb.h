// Byte stream over one USB-attached module, by its serial number: the kernel node
// "/dev/corvalith.%08X" when it exists, else libusb.
#pragma once

#include <cstdint>

#include "aStream.h"
#include "cvusb_driver.h"

#define aUSBSTREAMCHECK 0xDEADu

struct aUSBStreamState {
    uint32_t serialNumber;
    cvusb_deviceRef device;
    uint16_t check;
};

#define aVALIDUSBS(s) ((s) != nullptr && (s)->check == aUSBSTREAMCHECK)

// aErrParam for serial 0 or a null output; aErrNotFound when no attached module has
// the serial; the driver's open error otherwise (aErrBusy, aErrPermission,
// aErrConfiguration, aErrIO). *stream is NULL on failure. Reads wait up to 1000 ms
// for the module on the libusb path and 100 ms or so on a node.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);
