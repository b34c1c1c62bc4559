// The router's I2C entity (command 8, index 0), through which the host probes its network:
//   write  [8, idx, addr, len, speed, data...] -> [8, idx, addr, 0, status]
//   read   [8, idx, addr|1, len, speed]        -> [8, idx, addr|1, count, status, count bytes]
//   pullup [8, idx, 1, on]                     -> [8, idx, 1, on, status]
// A transfer to an address where a module sits is acknowledged (status 0, a read gives
// zeros); any other address is refused at once with status 0x83.
#pragma once

#include <cstdint>
#include <map>

#include "Packet.h"

namespace modsim {

class SimModule;

class I2CBus {
public:
    I2CBus(SimModule& router, const std::map<uint8_t, SimModule*>& network);

    void attach();

private:
    void handle(const Packet& packet);
    bool occupied(uint8_t address) const;

    SimModule& router_;
    const std::map<uint8_t, SimModule*>& network_;
};

}  // namespace modsim
