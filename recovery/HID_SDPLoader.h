// The serial download protocol over the boot ROM's own USB HID device (hidapi).
#pragma once

#include <cstdint>
#include <string>
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

    // Why no device of the vendor and product could be opened: ENODEV when none is on the
    // bus, else the errno of opening the first one's HID node (0 when it opens now), with
    // the node in `node`.
    static int whyNotOpened(uint16_t vendorId, uint16_t productId, std::string& node);
    // The HID node of the first device of the vendor and product, the one init opens; empty
    // when none is on the bus.
    static std::string NodeOf(uint16_t vendorId, uint16_t productId);

private:
    hid_device_* device;
    uint16_t vendorId;
    uint16_t productId;
};
