#include "CommandLine.h"

#include <cstring>
#include <string>
#include <vector>

#include "Log.h"
#include "aSerialBaud.h"

namespace {

enum { OPTION_HELP = 0, OPTION_COMMAND = 1, OPTION_PARAMETER = 2 };

size_t leadingHyphens(const char* text) {
    size_t count = 0;
    while (text[count] == '-') ++count;
    return count;
}

// An exact match wins; otherwise the word must be a proper prefix of exactly one
// row with as many leading hyphens.
const SOption* sMatchOption(const std::string& word) {
    const size_t hyphens = leadingHyphens(word.c_str());
    const char* wanted = word.c_str() + hyphens;
    const size_t wantedLength = word.size() - hyphens;
    const SOption* prefixRow = nullptr;
    int prefixRows = 0;
    for (const SOption* row = g_rgOptions; row->id != -1; ++row) {
        if (leadingHyphens(row->text) != hyphens) continue;
        const char* name = row->text + hyphens;
        if (strcmp(name, wanted) == 0) return row;
        if (wantedLength < strlen(name) && strncmp(name, wanted, wantedLength) == 0) {
            prefixRow = row;
            ++prefixRows;
        }
    }
    return prefixRows == 1 ? prefixRow : nullptr;
}

uint32_t digitValue(char c, unsigned base, bool* isDigit) {
    uint32_t value = 16;
    if (c >= '0' && c <= '9')
        value = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
        value = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        value = static_cast<uint32_t>(c - 'A' + 10);
    *isDigit = value < base;
    return value;
}

// False for the empty text, a non-digit, or a value that does not fit 32 bits.
bool parseWhole(const char* text, unsigned base, uint32_t& result) {
    uint64_t value = 0;
    result = 0;
    if (*text == '\0') return false;
    for (const char* p = text; *p; ++p) {
        bool isDigit = false;
        const uint32_t digit = digitValue(*p, base, &isDigit);
        if (!isDigit) return false;
        value = value * base + digit;
        if (value > UINT32_MAX) return false;
    }
    result = static_cast<uint32_t>(value);
    return true;
}

// The rates the usage text lists; any other would program the serial line with a speed
// it does not have (0 hangs the line up).

bool hasHexPrefix(const char* text) {
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool sParseSerial(UpdaterDisplayInterface& display, const std::string& argument, bool router, uint32_t& field) {
    const char* digits = argument.c_str();
    if (hasHexPrefix(digits)) {
        digits += 2;
        Log::log(DEBUG_Updater,
                 router ? "Discarding '0x' router serial number prefix\n" : "Discarding '0x' serial number prefix\n");
    }
    field = _get_hex_arg(digits);
    if (field != 0) return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    router ? "Invalid router serial number obtained from argument [%s]"
                           : "Invalid serial number obtained from argument [%s]",
                    digits);
    return false;
}

// A build other than the one asked for must never be flashed, so a -b that is not a
// whole decimal number fails the parse instead of meaning "the latest build".
bool sParseBuild(UpdaterDisplayInterface& display, const std::string& argument, Parameters& params) {
    uint32_t build = 0;
    const bool valid = parseWhole(argument.c_str(), 10, build);
    params.buildText = std::to_string(build);
    if (valid) return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid build number obtained from argument [%s]",
                    argument.c_str());
    return false;
}

bool sParseBaud(UpdaterDisplayInterface& display, const std::string& argument, Parameters& params) {
    uint32_t baud = 0;
    const bool number = parseWhole(argument.c_str(), 10, baud);
    params.portBaud = baud;
    if (number && aSerial_BaudIndex(baud) >= 0) return true;
    params.portBaud = 0;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid baud rate obtained from argument [%s]",
                    argument.c_str());
    return false;
}

bool sParseTransport(UpdaterDisplayInterface& display, const std::string& argument, Parameters& params) {
    params.transportGiven = true;
    if (startsWith(argument, "USB")) {
        params.transport = USB;
    } else if (startsWith(argument, "TCP")) {
        params.transport = TCPIP;
    } else if (startsWith(argument, "RECOVER")) {
        params.transport = RECOVER;
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                        argument.c_str());
        params.transport = 0;
        return false;
    }
    return true;
}

// Base 16 after "0x", else base 10, as far as digits go; the value wraps modulo 2^32.
void sParseDebugMask(UpdaterDisplayInterface& display, const std::string& argument, Parameters& params) {
    params.extendedUsage = true;
    const char* p = argument.c_str();
    unsigned base = 10;
    if (hasHexPrefix(p)) {
        base = 16;
        p += 2;
    }
    uint32_t value = 0;
    for (bool isDigit = true; *p; ++p) {
        const uint32_t digit = digitValue(*p, base, &isDigit);
        if (!isDigit) break;
        value = value * base + digit;
    }
    params.debugMask = value;
    if (*p) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", p);
        return;
    }
    // At once, so diagnostics of options further right already obey it.
    Log::ActivatePackage(value);
}

bool sApplyCommand(UpdaterDisplayInterface& display, const SOption& row, Parameters& params) {
    switch (row.text[1]) {
    case 'B':
        params.commands.Set(COMMAND_BUILDS);
        break;
    case 'L':
        params.commands.Set(COMMAND_LOCAL_BUILDS);
        break;
    case 'D':
        params.commands.Set(COMMAND_DISCOVER);
        break;
    case 'G':
        params.commands.Set(COMMAND_GET);
        break;
    case 'I':
        params.commands.Set(COMMAND_INFO);
        break;
    case 'U':
        params.commands.Set(COMMAND_UPDATE);
        break;
    case 'O':
        params.override = true;
        break;
    case 'N':
        params.commands.Set(COMMAND_FINGERPRINT);
        break;
    case 'C':
        params.commands.Set(COMMAND_CHECK);
        break;
    case 'J':
        params.commands.Set(COMMAND_JWT);
        break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", row.text);
        return false;
    }
    return true;
}

bool sApplyParameter(UpdaterDisplayInterface& display, const SOption& row, const std::string& argument,
                     Parameters& params) {
    switch (row.text[1]) {
    case 'n':
        params.optionN = true;
        break;
    case 'X':
        sParseDebugMask(display, argument, params);
        break;
    case 'Z':
        params.commands.Set(COMMAND_Z);
        break;
    case 'i':
        params.storeDirectory = argument;
        break;
    case 'b':
        return sParseBuild(display, argument, params);
    case 'd':
        return sParseSerial(display, argument, false, params.deviceSerial);
    case 't':
        return sParseTransport(display, argument, params);
    case 'f':
        params.trelFile = argument;
        break;
    case 'r':
        return sParseSerial(display, argument, true, params.routerSerial);
    case 's':
        params.serialPort = argument;
        break;
    case 'o':
        return sParseBaud(display, argument, params);
    case 'e':
        params.echo = true;
        break;
    case 'l':
        params.historyMessage = argument;
        break;
    case 'k':
        params.logFile = argument;
        break;
    case 'u':
        params.serverUrl = argument;
        break;
    default:
        break;
    }
    return true;
}

std::string applicationNameOf(const char* programPath) {
    if (!programPath) return std::string();
    const char* name = programPath;
    for (const char* p = programPath; *p; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}

}  // namespace

const SOption g_rgOptions[] = {
    {OPTION_COMMAND, "-B", ARG_NONE},        {OPTION_COMMAND, "-L", ARG_NONE},
    {OPTION_COMMAND, "-D", ARG_NONE},        {OPTION_COMMAND, "-G", ARG_NONE},
    {OPTION_COMMAND, "-I", ARG_NONE},        {OPTION_COMMAND, "-U", ARG_NONE},
    {OPTION_COMMAND, "-OVERRIDE", ARG_NONE}, {OPTION_COMMAND, "-N", ARG_NONE},
    {OPTION_COMMAND, "-Y", ARG_NONE},        {OPTION_COMMAND, "-C", ARG_NONE},
    {OPTION_COMMAND, "-J", ARG_NONE},        {OPTION_HELP, "-h", ARG_NONE},
    {OPTION_HELP, "-H", ARG_NONE},           {OPTION_PARAMETER, "-n", ARG_NONE},
    {OPTION_PARAMETER, "-X", ARG_SEPARATE},  {OPTION_PARAMETER, "-Z", ARG_SEPARATE},
    {OPTION_PARAMETER, "-i", ARG_SEPARATE},  {OPTION_PARAMETER, "-b", ARG_SEPARATE},
    {OPTION_PARAMETER, "-d", ARG_SEPARATE},  {OPTION_PARAMETER, "-t", ARG_SEPARATE},
    {OPTION_PARAMETER, "-f", ARG_SEPARATE},  {OPTION_PARAMETER, "-r", ARG_SEPARATE},
    {OPTION_PARAMETER, "-s", ARG_SEPARATE},  {OPTION_PARAMETER, "-o", ARG_SEPARATE},
    {OPTION_PARAMETER, "-e", ARG_SEPARATE},  {OPTION_PARAMETER, "-l", ARG_SEPARATE},
    {OPTION_PARAMETER, "-k", ARG_SEPARATE},  {OPTION_PARAMETER, "-u", ARG_SEPARATE},
    {OPTION_HELP, "--help", ARG_NONE},       {-1, nullptr, ARG_NONE},
};

uint32_t _get_hex_arg(const char* text) {
    uint32_t value = 0;
    parseWhole(text, 16, value);
    return value;
}

uint32_t _get_int_arg(const char* text) {
    uint32_t value = 0;
    parseWhole(text, 10, value);
    return value;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& params) {
    params = Parameters();
    params.applicationName = applicationNameOf(argc > 0 ? argv[0] : nullptr);

    bool failed = false;
    // The order the log shows: options with their arguments first, then the other words.
    std::vector<std::string> optionWords;
    std::vector<std::string> otherWords;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] != '-') {
            otherWords.push_back(word);
            continue;
        }
        optionWords.push_back(word);

        const size_t equals = word.find('=');
        const bool inlineArgument = equals != std::string::npos;
        const SOption* row = sMatchOption(inlineArgument ? word.substr(0, equals) : word);
        if (!row) continue;

        std::string argument;
        if (row->argType == ARG_NONE) {
            if (inlineArgument) continue;
        } else if (inlineArgument) {
            argument = word.substr(equals + 1);
        } else {
            if (i + 1 >= argc || argv[i + 1][0] == '-') continue;
            argument = argv[++i];
            optionWords.push_back(argument);
        }

        if (row->id == OPTION_HELP) {
            params.commands.Set(COMMAND_HELP);
            params.help = true;
            return 0;
        }
        const bool accepted = row->id == OPTION_COMMAND ? sApplyCommand(display, *row, params)
                                                        : sApplyParameter(display, *row, argument, params);
        if (!accepted) failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.applicationName.c_str());
    if (argc > 0) Log::log(DEBUG_APP, "\t[%s]\n", argv[0]);
    for (const auto& word : optionWords) Log::log(DEBUG_APP, "\t[%s]\n", word.c_str());
    for (const auto& word : otherWords) Log::log(DEBUG_APP, "\t[%s]\n", word.c_str());
    return failed ? 1 : 0;
}
