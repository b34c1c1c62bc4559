// The serial download protocol over the boot ROM's own USB HID device (hidapi).
#pragma once

#include <cstdint>
#include <vector>

#include "SDPLoader_Interface.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
public:
    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    // Closes the device and ends hidapi for the whole process.
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    int64_t writeData(const std::vector<uint8_t>& packet) override;
    int64_t readData(std::vector<uint8_t>& buffer, unsigned timeoutMs) override;
    // A complete answer is a 5-byte security-state report and a 65-byte status report.
    bool getDataFromBuffer(const std::vector<uint8_t>& buffer, unsigned index, uint32_t& word) override;

private:
    hid_device_* device;
    uint16_t vendorId;
    uint16_t productId;
};
