// The module's I2C bus 0 (command 8) with one memory device on it:
//   read    [8, bus, address|1, length, speed]        -> [8, bus, address|1, count, status, data...]
//   write   [8, bus, address, length, speed, data...] -> [8, bus, address, 0, status]
//   pull-up [8, bus, 1, on]                           -> [8, bus, 1, on, status]
// Status 0 is done; 0x80 alone means no device acknowledged the address; 0x80 | code
// refuses the request (24 malformed, 28 no such bus). The memory device at 0xA0 holds
// 256 bytes (byte i starts as i) behind an address pointer: a write's first data byte
// sets the pointer and the rest is stored from there; a read continues from the pointer.
#pragma once

#include <array>
#include <cstdint>

#include "SimModule.h"

namespace modsim {

class I2CBus {
public:
    explicit I2CBus(SimModule& module);

    void attach();

private:
    void handle(const Packet& packet);
    void read(const Packet& packet);
    void write(const Packet& packet);
    void pullup(const Packet& packet);
    void reply(uint8_t bus, uint8_t address, uint8_t third, uint8_t status, const std::vector<uint8_t>& data = {});

    SimModule& module_;
    std::array<uint8_t, 256> memory_{};
    uint8_t pointer_ = 0;
    bool pullup_ = false;
};

}  // namespace modsim
