// Client of the i.MX boot ROM's serial download protocol: writes a loader image into
// RAM, starts it, and reads the chip's unique identifier from its fuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "SDPLoader_Interface.h"

namespace IMX1050 {
const uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
const uint32_t CFG0_OFFSET = 0x410;
const uint32_t CFG1_OFFSET = 0x420;
const uint16_t VID = 0x1FC9;
const uint16_t PID = 0x0130;
const uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
}  // namespace IMX1050

const size_t MAX_COMMAND_BYTES = 17;
const size_t MAX_WRITE_BYTES = 1024;
const size_t MAX_READ_BYTES = 65;

class SDPLoader {
public:
    // Results of the loader's operations (not aErr codes).
    enum Result : int {
        SDP_OK = 0,
        SDP_NO_TRANSPORT = 1,
        SDP_NO_ANSWER = 2,
        SDP_UNEXPECTED_INPUT = 3,
        SDP_NOT_CONFIRMED = 4,
        SDP_INIT_FAILED = 6,
        SDP_NO_REGISTER = 7,
    };
    static const uint32_t WRITE_COMPLETE = 0x88888888;
    static const uint32_t ACK = 0xF0F0F0F0;

    SDPLoader();
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of `loader` when none is held; false (ownership stays with the
    // caller) for null or a second transport.
    bool setLoader(SDPLoader_Interface* loader);
    int init();
    int writeLoader(std::vector<uint8_t> image, uint32_t address);
    void startLoader(uint32_t address);
    // ORs CFG0 into the low and CFG1 into the high 32 bits of `value`.
    int getFingerprint(uint64_t& value);

    // Packet builders, 17 bytes each.
    static std::vector<uint8_t> _createStatusPacket();
    static std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t size);
    static std::vector<uint8_t> _createJumpPacket(uint32_t address);
    static std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);

private:
    static void _printBuffer(const std::vector<uint8_t>& buffer);
    bool _askForWord(const std::vector<uint8_t>& command, uint32_t& word);
    bool _isConnectionAlive();
    bool _expectSuccess(const std::vector<uint8_t>& reply);
    bool _readRegister(uint32_t address, uint32_t& word);

    SDPLoader_Interface* transport;
};
