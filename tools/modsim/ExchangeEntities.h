// Two entity classes beside the system entity, for exercising a host's value exchanges:
//
// Command 0x10, index 0, all readable and writable (numbers big-endian):
//   1 byte (0x11), 2 short (0x2233), 3 int (0x44556677), 4 call, 5 byte string (empty),
//   6 byte, 7 short and 8 int with subindexes 0-3 (subindex s starts as s + 1).
//
// Command 0x11, index 0, replies that break the message rules, one per option of a get:
//   1 an error reply with code 0, 2 an error reply without its code byte,
//   3 a byte-string chunk without its sequence byte; any other option: error 29.
#pragma once

#include "SimModule.h"
#include "UeiStore.h"

namespace modsim {

constexpr uint8_t kExchangeCommand = 0x10;
constexpr uint8_t kMalformedCommand = 0x11;

void defineExchangeEntity(UeiStore& store);
// Answers command 0x11 with the malformed replies above.
void attachMalformedReplies(SimModule& module);

}  // namespace modsim
