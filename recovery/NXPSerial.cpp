#include "NXPSerial.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "aSerialBaud.h"
#include "aTime.h"
#include "unix_streamserial.h"

const char* const NXPSerialClass::ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const uint32_t NXP_LPC17XX_sectors[31][3] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},  {0x03000, 0x1000, 3},  {0x04000, 0x1000, 4},
    {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},  {0x07000, 0x1000, 7},  {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},
    {0x0A000, 0x1000, 10}, {0x0B000, 0x1000, 11}, {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14},
    {0x0F000, 0x1000, 15}, {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18}, {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22}, {0x48000, 0x8000, 23}, {0x50000, 0x8000, 24},
    {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26}, {0x68000, 0x8000, 27}, {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29},
    {0xFFFFFFFF, 0, 30},
};

namespace {

const uint32_t* const BAUD_RATES = aSERIAL_BAUD_RATES;
const uint32_t DEFAULT_BAUD_INDEX = 2;
// A reply is read until its line is complete or the line stays idle this long: a
// USB-serial adapter and a loaded machine deliver bytes well after the chip sent them.
const uint32_t REPLY_IDLE_MS = 500;
// Time the chip may take to sum and judge a block of data lines.
const uint32_t CHECKSUM_ANSWER_MS = 2000;
// Erasing takes about 100 ms a sector on the chip; the whole flash is 30 sectors.
const uint32_t ERASE_ANSWER_MS = 5000;
// Foreign bytes cost no try while an echo is awaited; this bounds a line that chatters.
const uint32_t ECHO_MAX_FOREIGN_BYTES = 1024;
const char* const UNLOCK_CODE = "23130";

// Time of n + 2 characters at 9 bits each, plus 1 ms.
uint32_t waitTimeMs(size_t n, uint32_t baud) {
    return static_cast<uint32_t>((n * 9000 + 18000) / baud) + 1;
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
    std::string out;
    char item[8];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(item, sizeof item, "%s%02X", i == 0 ? "" : " ", bytes[i]);
        out += item;
    }
    return out;
}

// CR and LF spelled out, other unprintable characters shown as blanks.
std::string shownChars(const uint8_t* bytes, size_t count, bool spellLineEnds) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = bytes[i];
        if (spellLineEnds && c == '\r')
            out += "\\r";
        else if (spellLineEnds && c == '\n')
            out += "\\n";
        else
            out += std::isprint(c) ? static_cast<char>(c) : ' ';
    }
    return out;
}

char printableOrBlank(uint8_t c) {
    return std::isprint(c) ? static_cast<char>(c) : ' ';
}

}  // namespace

NXPSerialClass::NXPSerialClass() : stream(nullptr), echo(true), baud(BAUD_RATES[DEFAULT_BAUD_INDEX]) {
    port[0] = '\0';
    std::memset(deviceID, 0, sizeof deviceID);
}

NXPSerialClass::~NXPSerialClass() {
    if (stream) aStream_Destroy(&stream);
}

aErr NXPSerialClass::Connect(const char* portName, uint32_t baudRate) {
    if (stream) aStream_Destroy(&stream);
    if (!portName) return aErrParam;
    uint32_t index = DEFAULT_BAUD_INDEX;
    for (uint32_t i = 0; i < aSERIAL_BAUD_COUNT; ++i) {
        if (BAUD_RATES[i] >= baudRate) {
            index = i;
            break;
        }
    }
    baud = BAUD_RATES[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", portName,
             static_cast<int>(index), static_cast<int>(baud));
    const aErr err = aStream_CreateSerial(portName, index, 0, 0, 0, &stream);
    if (err != aErrNone || !stream) {
        const aErr code = err != aErrNone ? err : aErrResource;
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", portName, aError_GetErrorText(code));
        stream = nullptr;
        return code;
    }
    if (std::strncmp(port, portName, sizeof port - 1) != 0) {
        std::strncpy(port, portName, sizeof port - 1);
        port[sizeof port - 1] = '\0';
    }
    return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
    if (stream) aStream_Destroy(&stream);
    return aErrNone;
}

void NXPSerialClass::dumpBytes(const char* title, const uint8_t* bytes, size_t count) {
    Log::log(DEBUG_NXPSerial_SR, "%s[%s] [%s]\n", title, hexBytes(bytes, count).c_str(),
             shownChars(bytes, count, true).c_str());
}

aErr NXPSerialClass::Send(const char* text, bool checkEcho) {
    if (!stream) return aErrConnection;
    const size_t length = std::strlen(text);
    dumpBytes("Sending:", reinterpret_cast<const uint8_t*>(text), length);
    const aErr err = aStream_Write(stream, text, length);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (checkEcho && length > 1) {
        size_t matched = 0;
        GetEcho(text, length - 1, matched);
    }
    return err;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t length, size_t& count) {
    count = 0;
    if (!stream) return aErrConnection;
    const uint8_t* expected = reinterpret_cast<const uint8_t*>(text);
    Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\nrecv Echo:[", hexBytes(expected, length).c_str(),
             static_cast<int>(length));
    aErr err = aErrNone;
    uint64_t deadline = aTime_GetMonotonicMS() + REPLY_IDLE_MS;
    uint32_t foreign = 0;
    while (count < length && foreign <= ECHO_MAX_FOREIGN_BYTES) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone) {
            if (aTime_GetMonotonicMS() >= deadline) break;
            Log::log(DEBUG_NXPSerial_E, ".");
            aTime_MSSleep(1);
            continue;
        }
        deadline = aTime_GetMonotonicMS() + REPLY_IDLE_MS;
        if (byte == expected[count]) {
            Log::log(DEBUG_NXPSerial_E, " %02X", byte);
            ++count;
        } else {
            Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", byte, expected[count]);
            ++foreign;
        }
    }
    Log::log(DEBUG_NXPSerial_E, "]\n");
    return err;
}

aErr NXPSerialClass::SendCommand(const char* text, uint32_t waitMs) {
    if (!stream) return aErrConnection;
    const size_t length = std::strlen(text);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text);
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", hexBytes(bytes, length).c_str(),
             shownChars(bytes, length, false).c_str());
    const aErr err = aStream_Write(stream, text, length);
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", static_cast<int>(waitMs));
        aTime_MSSleep(waitMs);
    }
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    } else if (echo && length > 1) {
        size_t matched = 0;
        GetEcho(text, length - 1, matched);
        if (matched != length - 1) {
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
                     static_cast<int>(length));
        }
    }
    if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
}

aErr NXPSerialClass::Response(uint8_t* buffer, size_t size, size_t& count, const char* expected,
                              size_t expectedLength) {
    count = 0;
    if (!stream) return aErrConnection;
    if (!buffer || size == 0) return aErrParam;
    size_t limit = expected ? expectedLength : size - 1;
    if (limit > size) limit = size;
    // The answer's own transfer time, then the idle allowance; every byte renews the allowance.
    const uint32_t wait = waitTimeMs(expectedLength, baud) + REPLY_IDLE_MS;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(expectedLength),
             static_cast<int>(baud), static_cast<int>(wait));
    uint64_t deadline = aTime_GetMonotonicMS() + wait;

    static const char TERMINATOR[] = "\r\n";
    size_t termMatch = 0;
    aErr err = aErrNone;
    while (count < limit && termMatch < 2) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err == aErrNotReady && aTime_GetMonotonicMS() < deadline) {
            aTime_MSSleep(1);
            continue;
        }
        if (err != aErrNone) {
            Log::log(DEBUG_NXPSerial_E, ".");
            break;
        }
        deadline = aTime_GetMonotonicMS() + REPLY_IDLE_MS;
        if (count == 0 && byte == '\n') {
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
            continue;
        }
        if (count == 0 && byte == '\r') {
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
            continue;
        }
        if (count < 3 && byte == 0) {
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            continue;
        }
        if (expected && count < expectedLength && byte != static_cast<uint8_t>(expected[count])) {
            const uint8_t want = static_cast<uint8_t>(expected[count]);
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                     static_cast<int>(count), byte, printableOrBlank(byte), printableOrBlank(want), want);
        }
        buffer[count++] = byte;
        termMatch = byte == static_cast<uint8_t>(TERMINATOR[termMatch]) ? termMatch + 1 : 0;
    }
    dumpBytes("Response: ", buffer, count);
    return (count >= limit || termMatch == 2) ? aErrNone : err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t& count, uint32_t idleMs) {
    count = 0;
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    if (!stream) return aErrConnection;
    static const char TERMINATOR[] = "\r\n";
    size_t termMatch = 0;
    aErr err = aErrNone;
    uint64_t deadline = aTime_GetMonotonicMS() + idleMs;
    while (count < size - 1 && termMatch < 2) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone) {
            if (aTime_GetMonotonicMS() >= deadline) break;
            Log::log(DEBUG_NXPSerial_E, ".");
            aTime_MSSleep(1);
            continue;
        }
        deadline = aTime_GetMonotonicMS() + idleMs;
        if (count == 0 && byte == '\n') {
            Log::log(DEBUG_NXPSerial_E, ",");
            continue;
        }
        buffer[count++] = static_cast<char>(byte);
        termMatch = byte == static_cast<uint8_t>(TERMINATOR[termMatch]) ? termMatch + 1 : 0;
    }
    buffer[count] = '\0';
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buffer);
    Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n", hexBytes(bytes, count).c_str(),
             shownChars(bytes, count, false).c_str(), static_cast<int>(count), termMatch == 2 ? "term" : "non-term",
             aError_GetErrorText(err));
    return err;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
    if (!line) return ERROR_TEXT[MAX_ERROR];
    const long code = std::strtol(line, nullptr, 0);
    return (code >= 0 && code <= MAX_ERROR) ? ERROR_TEXT[code] : ERROR_TEXT[MAX_ERROR];
}

aErr NXPSerialClass::runCommand(const char* text, const char* prefix, uint32_t refusalLogMask, uint32_t answerMs) {
    const aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", prefix, text, aError_GetErrorText(err));
        return err;
    }
    char line[1024];
    size_t length = 0;
    GetLine(line, sizeof line, length, answerMs);
    uint32_t code = 0;
    if (ParseReturnCode(line, length, code) && code == 0) return aErrNone;
    if (refusalLogMask != 0) Log::log(refusalLogMask, "%sError response ==>[%s]\n", prefix, GetErrorText(line));
    return aErrParam;
}

aErr NXPSerialClass::Sync() {
    static const char SYNCHRONIZED[] = "Synchronized\r\n";
    static const char OK[] = "OK\r\n";
    uint8_t buffer[64];
    size_t count = 0;

    aErr err = Send("?", false);
    if (err != aErrNone) return err;
    err = Response(buffer, sizeof buffer, count, SYNCHRONIZED, 14);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 SYNCHRONIZED, shownChars(buffer, count, true).c_str());
        return err;
    }
    if (count < 14 || std::memcmp(buffer, SYNCHRONIZED, 14) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", SYNCHRONIZED);
    }

    Send(SYNCHRONIZED, false);
    Response(buffer, sizeof buffer, count, SYNCHRONIZED, 13);
    std::memset(buffer, 0, sizeof buffer);
    Response(buffer, sizeof buffer, count, OK, 4);
    bool okFailed = false;
    if (count < 2 || std::memcmp(buffer, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
                 shownChars(buffer, count, true).c_str(), OK);
        okFailed = true;
    }

    char crystal[16];
    std::snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
    Send(crystal, false);
    Response(buffer, sizeof buffer, count, crystal, 6);
    // The chip is synchronised only once it has taken the crystal frequency.
    std::memset(buffer, 0, sizeof buffer);
    err = Response(buffer, sizeof buffer, count, OK, 4);
    if (okFailed) return aErrIO;
    if (err == aErrNone && (count != 4 || std::memcmp(buffer, OK, 4) != 0)) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
                 shownChars(buffer, count, true).c_str(), OK);
        err = aErrIO;
    }
    return err;
}

aErr NXPSerialClass::readNumberLines(uint32_t* values, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        char text[32];
        size_t length = 0;
        GetLine(text, sizeof text, length, REPLY_IDLE_MS);
        // A number without its line end was cut short by silence: keep no half-read answer.
        if (length < 2 || text[length - 1] != '\n') return aErrTimeout;
        values[i] = static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
    }
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
    aErr err = runCommand("N\r\n", "", 0, REPLY_IDLE_MS);
    if (err != aErrNone) return err;
    uint32_t words[4] = {};
    err = readNumberLines(words, 4);
    if (err == aErrNone) std::memcpy(deviceID, words, sizeof deviceID);
    return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t& first, uint8_t& second) {
    aErr err = runCommand("K\r\n", "", 0, REPLY_IDLE_MS);
    if (err != aErrNone) return err;
    uint32_t values[2] = {};
    err = readNumberLines(values, 2);
    if (err != aErrNone) return err;
    first = static_cast<uint8_t>(values[0]);
    second = static_cast<uint8_t>(values[1]);
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", first, second);
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(int64_t& partNumber) {
    aErr err = runCommand("J\r\n", "", 0, REPLY_IDLE_MS);
    if (err != aErrNone) return err;
    uint32_t value = 0;
    err = readNumberLines(&value, 1);
    if (err != aErrNone) return err;
    partNumber = value;
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(partNumber));
    return aErrNone;
}

aErr NXPSerialClass::Unlock() {
    char text[32];
    std::snprintf(text, sizeof text, "U %s\r\n", UNLOCK_CODE);
    return runCommand(text, "", 0, REPLY_IDLE_MS);
}

aErr NXPSerialClass::SetEcho(bool on) {
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    char text[16];
    std::snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
    const aErr err = runCommand(text, "", 0, REPLY_IDLE_MS);
    if (err == aErrNone) echo = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate) {
    char text[48];
    std::snprintf(text, sizeof text, "B %d %d\r\n", static_cast<int>(rate), 1);
    return runCommand(text, "", 0, REPLY_IDLE_MS);
}

aErr NXPSerialClass::Prepare(uint32_t firstSector, uint32_t lastSector) {
    if (lastSector < firstSector) return aErrParam;
    char text[48];
    std::snprintf(text, sizeof text, "P %d %d\r\n", static_cast<int>(firstSector), static_cast<int>(lastSector));
    return runCommand(text, "", DEBUG_NXPSerial, REPLY_IDLE_MS);
}

aErr NXPSerialClass::Erase(uint32_t firstSector, uint32_t lastSector) {
    if (lastSector < firstSector) return aErrParam;
    char text[48];
    std::snprintf(text, sizeof text, "E %d %d\r\n", static_cast<int>(firstSector), static_cast<int>(lastSector));
    return runCommand(text, "", DEBUG_NXPSerial, ERASE_ANSWER_MS);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
    if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096)) {
        return aErrParam;
    }
    char text[64];
    std::snprintf(text, sizeof text, "C %d %d %d\r\n", static_cast<int>(flashAddress), static_cast<int>(ramAddress),
                  static_cast<int>(count));
    return runCommand(text, "", DEBUG_NXPSerial, REPLY_IDLE_MS);
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "G %d T\r\n", static_cast<int>(address));
    const aErr err = SendCommand(text, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
    }
    return err;
}

aErr NXPSerialClass::Write(uint32_t ramAddress, uint32_t count, const uint8_t* data) {
    if (count == 0 || count % 4 != 0 || !data) return aErrParam;
    char text[48];
    std::snprintf(text, sizeof text, "W %d %d\r\n", static_cast<int>(ramAddress), static_cast<int>(count));
    aErr result = runCommand(text, "Write() ", DEBUG_NXPSerial_SR, REPLY_IDLE_MS);
    if (result != aErrNone) return result;

    char line[1024];
    size_t length = 0;
    uint32_t position = 0;
    uint32_t lastGood = 0;
    uint32_t lines = 0;
    uint32_t retries = MAX_READ_RETRY;
    while (position < count && result == aErrNone) {
        const uint32_t k = count - position < MAX_BYTES_PER_LINE ? count - position : MAX_BYTES_PER_LINE;
        char encoded[uuencodedSize(MAX_BYTES_PER_LINE)];
        uuencode(encoded, data + position, k);
        aErr sent = Send(encoded, echo);
        position += k;
        if (sent == aErrNone) sent = Send("\r\n", echo);
        if (sent != aErrNone) {
            result = sent;
            break;
        }
        ++lines;
        if (lines < LINES_PER_CHECKSUM && position < count) continue;

        const uint32_t checksum = sum(data + lastGood, position - lastGood);
        Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", checksum, static_cast<int>(checksum));
        char checksumText[24];
        checksumLine(checksumText, sizeof checksumText, checksum);
        const uint64_t started = aTime_GetMonotonicMS();
        sent = Send(checksumText, echo);
        if (sent != aErrNone) {
            result = sent;
            break;
        }
        GetLine(line, sizeof line, length, CHECKSUM_ANSWER_MS);
        Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
                 static_cast<int>(aTime_GetMonotonicMS() - started + 1));
        if (length == 4 && std::memcmp(line, "OK\r\n", 4) == 0) {
            lastGood = position;
            Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
                     static_cast<int>(position), static_cast<int>(count), position * 100.0 / count);
        } else if (length == 8 && std::memcmp(line, "RESEND\r\n", 8) == 0) {
            --retries;
            if (retries > 0) {
                position = lastGood;
            } else {
                result = aErrTimeout;
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
            }
        } else {
            result = aErrIO;
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
        }
        lines = 0;
    }
    return result;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* destination) {
    if (count == 0 || count % 4 != 0 || !destination) return aErrParam;
    char text[48];
    std::snprintf(text, sizeof text, "R %d %d\r\n", static_cast<int>(address), static_cast<int>(count));
    aErr result = runCommand(text, "", DEBUG_NXPSerial, REPLY_IDLE_MS);
    if (result != aErrNone) return result;

    char line[1024];
    size_t length = 0;
    uint32_t position = 0;
    uint32_t lastGood = 0;
    uint32_t lines = 0;
    uint32_t retries = MAX_READ_RETRY;
    while (position < count && result == aErrNone) {
        GetLine(line, sizeof line, length, REPLY_IDLE_MS);
        const size_t decoded = uudecode(destination + position, count - position, line);
        // A line that yields nothing would never bring the transfer to its end.
        if (decoded == 0) {
            result = aErrTimeout;
            break;
        }
        position += static_cast<uint32_t>(decoded);
        ++lines;
        if (lines < LINES_PER_CHECKSUM && position < count) continue;

        GetLine(line, sizeof line, length, CHECKSUM_ANSWER_MS);
        uint32_t chipSum = 0;
        if (ParseReturnCode(line, length, chipSum) && chipSum == sum(destination + lastGood, position - lastGood)) {
            Send("OK\r\n", false);
            // The chip echoes the answer while echo is on; the last LF is left to the next line reader.
            if (echo) {
                uint8_t echoed[8];
                size_t echoedCount = 0;
                Response(echoed, sizeof echoed, echoedCount, "OK\r\n", position < count ? 3 : 4);
            }
            lastGood = position;
            Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
                     static_cast<int>(count), position * 100.0 / count);
        } else {
            --retries;
            if (retries > 0) {
                Send("RESEND\r\n", echo);
                position = lastGood;
            } else {
                result = aErrTimeout;
            }
        }
        lines = 0;
    }
    return result;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count) {
    if (count <= 256) return 256;
    if (count <= 512) return 512;
    if (count <= 1024) return 1024;
    if (count <= 4096) return 4096;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(count));
    return count;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
    for (const auto& row : NXP_LPC17XX_sectors) {
        if (row[1] != 0 && address >= row[0] && address - row[0] < row[1]) return row[2];
    }
    return NXP_LPC17XX_sectors[30][2];
}
