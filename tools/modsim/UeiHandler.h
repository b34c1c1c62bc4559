// Get, set and call of the module's values (the command/option/index messages):
//   get   [cmd, opt|0x40, idx|0x20 (, subindex)]      -> [cmd, opt, idx, value...]
//   set   [cmd, opt|0x80, idx|0x20, (subindex,) value] -> [cmd, opt|0xC0, idx]
//   call  [cmd, opt|0x80, idx|0x20]                    -> [cmd, opt|0xC0, idx]
//   error replies carry 0x80 in the specifier and the error code in byte 3.
// Byte strings travel in chunks [cmd, opt, specifier, up to 24 bytes, sequence | 0x80 while more follow].
#pragma once

#include <map>

#include "Packet.h"
#include "UeiStore.h"

namespace modsim {

class SimModule;

// Error codes the module answers with.
constexpr uint8_t kErrPermission = 12;
constexpr uint8_t kErrPacket = 24;
constexpr uint8_t kErrInvalidEntity = 28;
constexpr uint8_t kErrInvalidOption = 29;
constexpr uint8_t kErrResource = 30;

class UeiHandler {
public:
    UeiHandler(UeiStore& store, SimModule& module);

    // Registers this handler for every command the store holds values of.
    void attach();
    void handle(const Packet& packet);

private:
    struct PendingBytes {
        uint8_t nextSequence = 0;
        std::vector<uint8_t> bytes;
    };

    void get(const Packet& packet, const UeiKey& key, UeiValue& value);
    void set(const Packet& packet, UeiKey key, UeiValue& value);
    void setBytes(const Packet& packet, const UeiKey& key, UeiValue& value);
    void sendBytes(uint8_t command, uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes);
    void acknowledge(const UeiKey& key);
    void error(const Packet& packet, uint8_t code);

    UeiStore& store_;
    SimModule& module_;
    std::map<UeiKey, PendingBytes> pending_;
};

}  // namespace modsim
