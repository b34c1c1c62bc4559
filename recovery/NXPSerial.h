// Client of the LPC17xx boot ROM's serial in-system-programming (ISP) loader: ASCII
// commands ended by "\r\n", decimal return-code lines, uuencoded data lines guarded by
// decimal byte-sum checksums. One object per command, kept on the stack; it owns its port.
#pragma once

#include <cstddef>
#include <cstdint>

#include "IspCodec.h"
#include "aError.h"
#include "aStream.h"

// The line encodings (uuencode, uudecode, sum, ParseReturnCode) come from IspCodec.
class NXPSerialClass : public IspCodec {
public:
    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    aErr Connect(const char* portName, uint32_t baudRate);
    aErr Disconnect();
    aErr Sync();
    aErr GetDeviceID();
    aErr GetBootLoaderVersion(uint8_t& first, uint8_t& second);
    aErr GetPartNumber(int64_t& partNumber);
    aErr Unlock();
    aErr SetEcho(bool on);
    aErr SetBaudRate(uint32_t rate);
    aErr Prepare(uint32_t firstSector, uint32_t lastSector);
    aErr Erase(uint32_t firstSector, uint32_t lastSector);
    aErr Write(uint32_t ramAddress, uint32_t count, const uint8_t* data);
    aErr Read(uint32_t address, uint32_t count, uint8_t* destination);
    aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    aErr ExecuteFrom(uint32_t address);

    static const char* GetErrorText(const char* line);
    static uint32_t CopyLength(uint32_t count);
    static uint32_t SectorFromAddress(uint32_t address);

    // Transfer primitives.
    aErr Send(const char* text, bool checkEcho);
    aErr SendCommand(const char* text, uint32_t waitMs);
    aErr Response(uint8_t* buffer, size_t size, size_t& count, const char* expected, size_t expectedLength);
    // Reads one line ended by "\r\n"; gives up once no byte came for idleMs.
    aErr GetLine(char* buffer, size_t size, size_t& count, uint32_t idleMs);
    aErr GetEcho(const char* text, size_t length, size_t& count);

    static const uint8_t MAX_ERROR = 20;
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;
    static const uint32_t MAX_BYTES_PER_LINE = 45;
    static const uint32_t LINES_PER_CHECKSUM = 20;
    static const uint32_t MAX_READ_RETRY = 3;
    static const uint32_t WRITE_ADDRESS = 0x10001000;
    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    aStreamRef stream;
    bool echo;
    uint32_t baud;
    char port[2048];
    uint32_t deviceID[4];

private:
    // Sends a command and judges its return-code line, waiting up to answerMs of silence;
    // a refusal is logged under refusalLogMask unless it is 0.
    aErr runCommand(const char* text, const char* prefix, uint32_t refusalLogMask, uint32_t answerMs);
    // Reads count lines that each hold one number.
    aErr readNumberLines(uint32_t* values, size_t count);
    void dumpBytes(const char* title, const uint8_t* bytes, size_t count);
};

// Flash sectors of a 512 KB part: {start address, size, sector number}, closed by an end row.
extern const uint32_t NXP_LPC17XX_sectors[31][3];
