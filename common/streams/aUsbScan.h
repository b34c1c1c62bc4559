// The scan of the USB bus for modules, shared by discovery and by opening a module's
// stream, so both see the same modules with the same serial numbers.
#pragma once

#include <cstdint>

#include <libusb.h>

// Called for each module on the bus (vendor and product checked, not opened); false
// ends the scan.
typedef bool (*aUsbScanDeviceVisitor)(libusb_device* device, void* ref);

// What a module visitor wants after seeing one module.
enum aUsbScanStep {
    aUSBSCAN_NEXT,  // close the module and go on
    aUSBSCAN_STOP,  // close the module and end the scan
    aUSBSCAN_KEEP   // end the scan; the visitor keeps the open handle and closes it
};

// Called for each module that opened and whose serial string is exactly eight hex
// digits, with that string as the module gave it (either case) and its value;
// `handle` is open for the call.
typedef aUsbScanStep (*aUsbScanModuleVisitor)(libusb_device_handle* handle,
                                              const struct libusb_device_descriptor* descriptor, const char* serialText,
                                              uint32_t serialNumber, void* ref);

// Both take the process's libusb context (creating it on first use) and return false
// when there is no bus to scan: no context or no device list.
bool aUsbScan_Devices(aUsbScanDeviceVisitor visitor, void* ref);
bool aUsbScan_Modules(aUsbScanModuleVisitor visitor, void* ref);

// The digits of a module's serial string.
#define aUSBSCAN_SERIAL_DIGITS 8

// Exactly eight hexadecimal digits, as the USB serial-number string holds them.
bool aDiscovery_ReadSerialText(const unsigned char* text, int length, uint32_t* serialNumber);

// Room for a serial string and more, so a longer one is seen and refused.
#define aUSBSCAN_SERIAL_BUFFER 32

// The module's serial string and number from its serial string descriptor, by the
// same strict rule as discovery; false when the string is missing or not eight hex
// digits. `text` has room for aUSBSCAN_SERIAL_BUFFER bytes.
bool aUsbScan_ReadSerial(libusb_device_handle* handle, uint8_t index, char* text, uint32_t* serialNumber);
