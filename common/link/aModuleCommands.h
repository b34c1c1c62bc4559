// The module commands the link core speaks itself, below the object API: the heartbeat
// the link answers and a link server watches for, the model query a link server asks of
// its module and the stream enable and disable requests it watches for. The object API
// builds the same bytes from these (api/Uei.h, api/SystemClass.h, api/StreamProtocol.h).
#pragma once

#include <cstdint>

#include "aPacket.h"

// The module's heartbeat: [aCMD_HEARTBEAT, n], nothing else; the host answers with
// [aCMD_HEARTBEAT, n + 2] to the same address.
const uint8_t aCMD_HEARTBEAT = 0x00;
const uint8_t aCMD_HEARTBEAT_SIZE = 2;

inline bool aModuleCommand_IsHeartbeat(const aPacket* packet) {
    return packet->dataSize == aCMD_HEARTBEAT_SIZE && packet->data[0] == aCMD_HEARTBEAT;
}

inline uint8_t aModuleCommand_HeartbeatAnswer(uint8_t n) {
    return static_cast<uint8_t>((n + 2) & 0xFF);
}

// Option byte: bits 0-5 the option, then the get and set flags.
const uint8_t aCMD_OPTION_GET = 0x40;
const uint8_t aCMD_OPTION_SET = 0x80;
// Specifier byte of a host's request.
const uint8_t aCMD_SPECIFIER_REQUEST = 0x20;

// The system command; its model option answers [0x03, option, specifier, model].
const uint8_t aCMD_SYSTEM = 0x03;
const uint8_t aCMD_SYSTEM_MODEL = 8;

// Streamed values: enabling and disabling a stream are sets of these options.
const uint8_t aCMD_STREAM = 0x5D;
const uint8_t aCMD_STREAM_ENABLE = 1;
const uint8_t aCMD_STREAM_DISABLE = 2;
