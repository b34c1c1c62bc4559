#include "aUsbScan.h"

#include <cctype>

#include "Corvalith-C.h"
#include "cvusb_driver.h"

namespace {

struct ModuleScan {
    aUsbScanModuleVisitor visitor;
    void* ref;
};

bool sVisitModule(libusb_device* device, void* ref) {
    const auto* scan = static_cast<const ModuleScan*>(ref);
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) return true;
    struct libusb_device_descriptor descriptor = {};
    char text[aUSBSCAN_SERIAL_BUFFER] = {};
    uint32_t serialNumber = 0;
    aUsbScanStep step = aUSBSCAN_NEXT;
    if (libusb_get_device_descriptor(device, &descriptor) == 0 &&
        aUsbScan_ReadSerial(handle, descriptor.iSerialNumber, text, &serialNumber))
        step = scan->visitor(handle, &descriptor, text, serialNumber, scan->ref);
    if (step != aUSBSCAN_KEEP) libusb_close(handle);
    return step == aUSBSCAN_NEXT;
}

}  // namespace

bool aDiscovery_ReadSerialText(const unsigned char* text, int length, uint32_t* serialNumber) {
    // Exactly eight digits: strtoul alone would also take blanks, a sign or "0x".
    if (length != aUSBSCAN_SERIAL_DIGITS) return false;
    uint32_t value = 0;
    for (int i = 0; i < aUSBSCAN_SERIAL_DIGITS; ++i) {
        if (!isxdigit(text[i])) return false;
        const unsigned char c = static_cast<unsigned char>(tolower(text[i]));
        value = value << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    *serialNumber = value;
    return true;
}

bool aUsbScan_ReadSerial(libusb_device_handle* handle, uint8_t index, char* text, uint32_t* serialNumber) {
    auto* bytes = reinterpret_cast<unsigned char*>(text);
    const int length = libusb_get_string_descriptor_ascii(handle, index, bytes, aUSBSCAN_SERIAL_BUFFER - 1);
    text[length > 0 ? length : 0] = '\0';
    return aDiscovery_ReadSerialText(bytes, length, serialNumber);
}

bool aUsbScan_Devices(aUsbScanDeviceVisitor visitor, void* ref) {
    libusb_context* context = Corvalith_libusb_acquire();
    if (!context) return false;
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    if (count < 0 || !devices) return false;
    for (ssize_t i = 0; i < count; ++i)
        if (is_corvalith_device(devices[i]) && !visitor(devices[i], ref)) break;
    libusb_free_device_list(devices, 1);
    return true;
}

bool aUsbScan_Modules(aUsbScanModuleVisitor visitor, void* ref) {
    ModuleScan scan{visitor, ref};
    return aUsbScan_Devices(sVisitModule, &scan);
}
