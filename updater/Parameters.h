// The parsed command line: which commands to run and the values they take.
#pragma once

#include <cstdint>
#include <string>

#include "UpdateServerRequest.h"
#include "discover.h"

// Transport of -t that selects the boot-ROM recovery path of -U.
enum { RECOVER = 255 };

enum COMMANDS : uint32_t {
    COMMAND_DISCOVER = 0x1,
    COMMAND_UPDATE = 0x2,
    COMMAND_BUILDS = 0x4,
    COMMAND_GET = 0x8,
    COMMAND_INFO = 0x10,
    COMMAND_CHECK = 0x20,
    COMMAND_FINGERPRINT = 0x40,
    COMMAND_Z = 0x80,
    COMMAND_JWT = 0x100,
    COMMAND_LOCAL_BUILDS = 0x200,
    COMMAND_HELP = 0x80000000,
};

// Any of these bits counts as a command; -I, -C and -Z count although nothing runs for them.
constexpr uint32_t COMMAND_ANY = 0x307FF;

class CommandsClass {
public:
    void Set(uint32_t bits) { word |= bits; }
    bool IsSet(uint32_t mask) const { return (word & mask) != 0; }

private:
    uint32_t word = 0;
};

struct Parameters {
    CommandsClass commands;
    uint32_t deviceSerial = 0;
    uint32_t routerSerial = 0;
    linkType transport = USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t portBaud = 115200;
    uint8_t moduleAddressByte = 0;
    std::string trelFile;
    std::string historyMessage;
    std::string buildText;
    bool echo = false;
    std::string serverUrl = UpdateServerRequest::default_url;
    bool optionN = false;
    std::string storeDirectory;
    std::string applicationName;
    std::string logFile = "Updater.log";
    bool override = false;
    uint32_t debugMask = 0;
    bool extendedUsage = false;
    bool help = false;
};
