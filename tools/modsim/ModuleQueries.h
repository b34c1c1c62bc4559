// Module-level exchanges outside the value messages:
//   0x49 0x01 cmd opt idx flags -> 0x49 0x01 cmd opt idx answer (0: the value exists for that access)
//   0x49 0x04 cmd               -> 0x49 0x04 cmd count (entities of that class)
//   0x49 0xFF                   -> 0x49 0xFF B3 B2 B1 B0 (firmware build number, big-endian)
//   0x17 data...                -> 0x17 data... (echo)
#pragma once

#include "Packet.h"
#include "UeiStore.h"

namespace modsim {

class SimModule;

class ModuleQueries {
public:
    ModuleQueries(const UeiStore& store, SimModule& module);

    void attach();

private:
    void query(const Packet& packet);
    void echo(const Packet& packet);
    uint8_t hasValue(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;

    const UeiStore& store_;
    SimModule& module_;
};

}  // namespace modsim
