// Entity classes beside the system entity, for exercising a host's value exchanges:
//
// Command 0x10, index 0, all readable and writable (numbers big-endian):
//   1 byte (0x11), 2 short (0x2233), 3 int (0x44556677), 4 call, 5 byte string (empty),
//   6 byte, 7 short and 8 int with subindexes 0-3 (subindex s starts as s + 1).
//
// Command 0x12, indices 0-31, values of many hosts at once (each can keep to an index of
// its own, so a reply names the host that asked): 1 byte, 2 short, 3 int (all 0 at
// start), 5 byte string (empty), all readable and writable.
//
// Command 0x11, index 0, replies that break the message rules, one per option of a get:
//   1 an error reply with code 0, 2 an error reply without its code byte,
//   3 a byte-string chunk without its sequence byte; any other option: error 29.
//
// Command 8 on a module that is no router: an I2C bus that flags every transfer with the
// error bit and no code (status 0x80); a router's bus is I2CBus.
#pragma once

#include "SimModule.h"
#include "UeiHandler.h"
#include "UeiStore.h"

namespace modsim {

constexpr uint8_t kExchangeCommand = 0x10;
constexpr uint8_t kMalformedCommand = 0x11;
constexpr uint8_t kScratchCommand = 0x12;

class ExchangeEntities {
public:
    explicit ExchangeEntities(SimModule& module);
    ExchangeEntities(const ExchangeEntities&) = delete;
    ExchangeEntities& operator=(const ExchangeEntities&) = delete;

    // Registers the commands above with the module; command 8 only when asked.
    void attach(bool withBareI2C);

private:
    void answerMalformed(const Packet& packet);
    void answerBareI2C(const Packet& packet);

    SimModule& module_;
    UeiStore store_;
    UeiHandler uei_;
};

}  // namespace modsim
