// A transport of the i.MX serial download protocol: moves whole command and data
// packets to the boot ROM and collects its answers.
#pragma once

#include <cstdint>
#include <vector>

class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() = default;
    // Opens the device; false when there is none.
    virtual bool init() = 0;
    // Sends one packet (its first byte is the report id); the bytes sent, or -1.
    virtual int64_t writeData(const std::vector<uint8_t>& packet) = 0;
    // Appends what the ROM sends within about `timeoutMs`; the count appended.
    virtual int64_t readData(std::vector<uint8_t>& buffer, unsigned timeoutMs) = 0;
    // ORs the status word of a complete answer into `word`; false when `buffer` holds none.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& buffer, unsigned index, uint32_t& word) = 0;
};
