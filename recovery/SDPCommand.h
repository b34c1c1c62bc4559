// The i.MX boot ROM's serial download commands: 16 bytes, multi-byte fields big-endian,
// sent behind a one-byte report ID (1 for a command, 2 for the data that follows).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

// The command's two type bytes repeat one code.
enum SDPCommandType : uint16_t {
    SDP_READ_REGISTER = 0x0101,
    SDP_WRITE_FILE = 0x0404,
    SDP_ERROR_STATUS = 0x0505,
    SDP_JUMP_ADDRESS = 0x0B0B,
};

const uint8_t SDP_REPORT_COMMAND = 0x01;
const uint8_t SDP_REPORT_DATA = 0x02;
// The format of a register read or file write: 32-bit words.
const uint8_t SDP_FORMAT_32BIT = 0x20;

struct SDPCommand {
    uint8_t type[2];
    uint8_t address[4];
    uint8_t format;
    uint8_t count[4];
    uint8_t data[4];
    uint8_t reserved;
};
static_assert(sizeof(SDPCommand) == 16, "an SDP command is 16 bytes");

// The report ID and the command, as written to the ROM.
inline std::vector<uint8_t> sdpCommandReport(SDPCommandType type, uint32_t address = 0, uint8_t format = 0,
                                             uint32_t count = 0) {
    SDPCommand command = {};
    command.type[0] = static_cast<uint8_t>(type >> 8);
    command.type[1] = static_cast<uint8_t>(type);
    for (int i = 0; i < 4; ++i) {
        command.address[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
        command.count[i] = static_cast<uint8_t>(count >> (24 - 8 * i));
    }
    command.format = format;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&command);
    std::vector<uint8_t> report(1 + sizeof command);
    report[0] = SDP_REPORT_COMMAND;
    std::copy(bytes, bytes + sizeof command, report.begin() + 1);
    return report;
}
