#include "Options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace modsim {

const char* const kUsage =
    "usage: modsim (--tcp ADDR:PORT | --unix PATH | --pty) [options]\n"
    "  --tcp ADDR:PORT   listen for the host on this IPv4 address (port 0: any free port)\n"
    "  --unix PATH       listen for the host on a Unix-domain stream socket\n"
    "  --pty             open a pseudo-terminal; the host opens its slave as a serial port\n"
    "  --control PATH    also take control commands on a Unix-domain socket (stdin always works)\n"
    "  --log FILE        log every packet and event, one line each (\"-\": standard error)\n"
    "  --serial HEX      serial number, up to 8 hex digits (default 1234ABCD)\n"
    "  --model N         model number 0-255 (default 1)\n"
    "  --address N       module address, even, 2-254 (default 2)\n"
    "  --discovery       answer network discovery queries (inside a test network namespace only)\n"
    "  --tcp-port N      TCP port named in discovery answers (default: the bound --tcp port)\n"
    "  --version HEX     packed firmware version word (system option 7, default 0)\n"
    "  --hw-version HEX  hardware version word (system option 40, default 0)\n"
    "  --build N         firmware build number answered to the build-number query (default 0)\n"
    "  --router N        router address (system option 2, default: the module address)\n"
    "  --name TEXT       module name (system option 32, default empty)\n"
    "  --chip-id W0,W1,W2,W3  chip identifier words in hex (system option 39, subindex 0-3)\n";

namespace {

bool parseNumber(const char* text, unsigned long max, int base, unsigned long& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoul(text, &end, base);
    return errno == 0 && *end == '\0' && value <= max && text[0] != '-';
}

bool parseTcp(const std::string& text, Options& options) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    in_addr address{};
    const std::string host = text.substr(0, colon);
    unsigned long port = 0;
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
    if (!parseNumber(text.c_str() + colon + 1, 65535, 10, port)) return false;
    options.tcpAddress = host;
    options.tcpPort = static_cast<uint16_t>(port);
    return true;
}

bool parseChipId(const std::string& text, uint32_t (&words)[4]) {
    std::size_t start = 0;
    for (int word = 0; word < 4; ++word) {
        const auto comma = text.find(',', start);
        if ((comma == std::string::npos) != (word == 3)) return false;
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        unsigned long value = 0;
        if (part.size() > 8 || !parseNumber(part.c_str(), 0xFFFFFFFFul, 16, value)) return false;
        words[word] = static_cast<uint32_t>(value);
        start = comma + 1;
    }
    return true;
}

bool setPort(Options& options, PortKind kind, std::string& error) {
    if (options.port != PortKind::None) {
        error = "give only one of --tcp, --unix, --pty";
        return false;
    }
    options.port = kind;
    return true;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool hasValue = i + 1 < argc;
        const char* value = hasValue ? argv[i + 1] : nullptr;
        unsigned long number = 0;
        auto needValue = [&]() {
            if (!hasValue) error = name + " needs a value";
            return hasValue;
        };
        if (name == "--help" || name == "-h") {
            help = true;
            return true;
        } else if (name == "--pty") {
            if (!setPort(options, PortKind::Pty, error)) return false;
        } else if (name == "--discovery") {
            options.discovery = true;
        } else if (name == "--tcp") {
            if (!needValue() || !setPort(options, PortKind::Tcp, error)) return false;
            if (!parseTcp(value, options)) {
                error = "bad --tcp value (want IPV4:PORT): " + std::string(value);
                return false;
            }
            ++i;
        } else if (name == "--unix" || name == "--control" || name == "--log") {
            if (!needValue()) return false;
            if (name == "--unix") {
                if (!setPort(options, PortKind::Unix, error)) return false;
                options.unixPath = value;
            } else if (name == "--control") {
                options.controlPath = value;
            } else {
                options.logPath = value;
            }
            ++i;
        } else if (name == "--serial" || name == "--version" || name == "--hw-version") {
            if (!needValue()) return false;
            if (std::strlen(value) > 8 || !parseNumber(value, 0xFFFFFFFFul, 16, number)) {
                error = "bad " + name + " value (want up to 8 hex digits): " + std::string(value);
                return false;
            }
            uint32_t& word = name == "--serial" ? options.serial
                             : name == "--version" ? options.version
                                                   : options.hardwareVersion;
            word = static_cast<uint32_t>(number);
            ++i;
        } else if (name == "--build") {
            if (!needValue()) return false;
            if (!parseNumber(value, 0xFFFFFFFFul, 10, number)) {
                error = "bad --build value (want a decimal 32-bit number): " + std::string(value);
                return false;
            }
            options.buildNumber = static_cast<uint32_t>(number);
            ++i;
        } else if (name == "--router") {
            if (!needValue()) return false;
            if (!parseNumber(value, 255, 0, number)) {
                error = "bad --router value (want 0-255): " + std::string(value);
                return false;
            }
            options.routerGiven = true;
            options.router = static_cast<uint8_t>(number);
            ++i;
        } else if (name == "--name") {
            if (!needValue()) return false;
            options.name = value;
            ++i;
        } else if (name == "--chip-id") {
            if (!needValue()) return false;
            if (!parseChipId(value, options.chipId)) {
                error = "bad --chip-id value (want four hex words W0,W1,W2,W3): " + std::string(value);
                return false;
            }
            ++i;
        } else if (name == "--model") {
            if (!needValue()) return false;
            if (!parseNumber(value, 255, 0, number)) {
                error = "bad --model value (want 0-255): " + std::string(value);
                return false;
            }
            options.model = static_cast<uint8_t>(number);
            ++i;
        } else if (name == "--address") {
            if (!needValue()) return false;
            if (!parseNumber(value, 254, 0, number) || number == 0 || number % 2) {
                error = "bad --address value (want an even number 2-254): " + std::string(value);
                return false;
            }
            options.address = static_cast<uint8_t>(number);
            ++i;
        } else if (name == "--tcp-port") {
            if (!needValue()) return false;
            if (!parseNumber(value, 65535, 10, number)) {
                error = "bad --tcp-port value (want 0-65535): " + std::string(value);
                return false;
            }
            options.announcedPortGiven = true;
            options.announcedPort = static_cast<uint16_t>(number);
            ++i;
        } else {
            error = "unknown option: " + name;
            return false;
        }
    }
    if (options.port == PortKind::None) {
        error = "give one of --tcp, --unix, --pty";
        return false;
    }
    return true;
}

}  // namespace modsim
