// Reading what modules answer to discovery: the serial-number string of a USB module and
// the datagram of an Ethernet module (little-endian fields).
#pragma once

#include <cstddef>
#include <cstdint>

#include "aUsbScan.h"
#include "discover.h"

// aDiscovery_ReadSerialText (aUsbScan.h) reads the serial-number string: the USB scan
// below discovery applies the same rule.

// Fills spec from a reply of any length: byte 1 the module address, 2-3 the port,
// 4-7 the serial number, 12 the model; missing bytes read as 0, a missing model as 0xFF.
void aDiscovery_ReadTCPIPReply(const uint8_t* datagram, size_t length, uint32_t sourceAddress, linkSpec* spec);
