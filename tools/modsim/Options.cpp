#include "Options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "RandomReplies.h"

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
    "  --chip-id W0,W1,W2,W3  chip identifier words in hex (system option 39, subindex 0-3)\n"
    "  --router-module ADDR:SERIAL:MODEL[:BUILD[:VERSION]]\n"
    "                    a module on this router's I2C network (repeatable; makes this module a router)\n"
    "  --load-way keep|reconnect|announce|gone  how a module restarts into its loader (default keep)\n"
    "  --in-loader       start with the loader running, as a boot ROM starts it\n"
    "  --piece-size N    firmware piece size the loader asks for, 1-65535 (default 512)\n"
    "  --restart-ms N    how long a rebooting module stops listening, 0-60000 (default 200)\n"
    "  --update-build N  build number this module runs after a firmware update\n"
    "  --update-version HEX  packed version word this module runs after a firmware update\n"
    "  --dump-image FILE write the firmware image a module received to FILE at its reboot\n"
    "  --stream-ms N     interval of streamed samples, 0-60000 ms, 0: only on stream-send (default 20)\n"
    "  --random-replies SPEC  replies late, lost or refused at random, kept in order, e.g.\n"
    "                    seed=7,jitter=5,slow=1,late=0.5,drop=2,refuse=20[,calm-streams] (README)\n";

namespace {

bool parseNumber(const char* text, unsigned long max, int base, unsigned long& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoul(text, &end, base);
    return errno == 0 && *end == '\0' && value <= max && text[0] != '-';
}

bool parseHexWord(const std::string& text, uint32_t& word) {
    unsigned long value = 0;
    if (text.size() > 8 || !parseNumber(text.c_str(), 0xFFFFFFFFul, 16, value)) return false;
    word = static_cast<uint32_t>(value);
    return true;
}

bool parseAddress(const std::string& text, uint8_t& address) {
    unsigned long value = 0;
    if (!parseNumber(text.c_str(), 254, 0, value) || value == 0 || value % 2) return false;
    address = static_cast<uint8_t>(value);
    return true;
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

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool parseChipId(const std::string& text, uint32_t (&words)[4]) {
    const auto parts = splitAt(text, ',');
    if (parts.size() != 4) return false;
    for (int word = 0; word < 4; ++word)
        if (!parseHexWord(parts[word], words[word])) return false;
    return true;
}

// ADDR:SERIAL:MODEL[:BUILD[:VERSION]]
bool parseRoutedModule(const std::string& text, ModuleConfig& config) {
    const auto parts = splitAt(text, ':');
    if (parts.size() < 3 || parts.size() > 5) return false;
    unsigned long number = 0;
    if (!parseAddress(parts[0], config.address) || !parseHexWord(parts[1], config.serial)) return false;
    if (!parseNumber(parts[2].c_str(), 255, 0, number)) return false;
    config.model = static_cast<uint8_t>(number);
    if (parts.size() > 3) {
        if (!parseNumber(parts[3].c_str(), 0xFFFFFFFFul, 10, number)) return false;
        config.buildNumber = static_cast<uint32_t>(number);
    }
    return parts.size() < 5 || parseHexWord(parts[4], config.version);
}

bool setPort(Options& options, PortKind kind, std::string& error) {
    if (options.port != PortKind::None) {
        error = "give only one of --tcp, --unix, --pty";
        return false;
    }
    options.port = kind;
    return true;
}

// Checks what only the whole command line can tell, and links routed modules to their router.
bool finish(Options& options, std::string& error) {
    if (options.port == PortKind::None) {
        error = "give one of --tcp, --unix, --pty";
        return false;
    }
    if (!options.routerGiven) options.module.router = options.module.address;
    std::set<uint8_t> taken{options.module.address};
    for (auto& routed : options.routedModules) {
        if (!taken.insert(routed.address).second) {
            error = "--router-module address " + std::to_string(routed.address) + " is taken";
            return false;
        }
        routed.router = options.module.address;
    }
    return true;
}

}  // namespace

bool parseLoadWay(const std::string& text, LoadWay& way) {
    if (text == "keep")
        way = LoadWay::Keep;
    else if (text == "reconnect")
        way = LoadWay::Reconnect;
    else if (text == "announce")
        way = LoadWay::Announce;
    else if (text == "gone")
        way = LoadWay::Gone;
    else
        return false;
    return true;
}

const char* loadWayName(LoadWay way) {
    switch (way) {
    case LoadWay::Keep:
        return "keep";
    case LoadWay::Reconnect:
        return "reconnect";
    case LoadWay::Announce:
        return "announce";
    case LoadWay::Gone:
        return "gone";
    }
    return "";
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error, bool& help) {
    help = false;
    ModuleConfig& module = options.module;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            help = true;
            return true;
        }
        if (name == "--pty") {
            if (!setPort(options, PortKind::Pty, error)) return false;
            continue;
        }
        if (name == "--discovery") {
            options.discovery = true;
            continue;
        }
        if (name == "--in-loader") {
            options.startInLoader = true;
            continue;
        }
        static const std::set<std::string> kValueOptions{
            "--tcp",      "--unix",       "--control",        "--log",      "--dump-image",   "--serial",
            "--version",  "--hw-version", "--update-version", "--build",    "--update-build", "--router",
            "--name",     "--chip-id",    "--model",          "--address",  "--tcp-port",     "--router-module",
            "--load-way", "--piece-size", "--restart-ms",     "--stream-ms", "--random-replies"};
        if (!kValueOptions.count(name)) {
            error = "unknown option: " + name;
            return false;
        }
        if (i + 1 >= argc) {
            error = name + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        unsigned long number = 0;
        auto bad = [&](const char* want) {
            error = "bad " + name + " value (want " + want + "): " + value;
            return false;
        };
        if (name == "--tcp") {
            if (!setPort(options, PortKind::Tcp, error)) return false;
            if (!parseTcp(value, options)) return bad("IPV4:PORT");
        } else if (name == "--unix") {
            if (!setPort(options, PortKind::Unix, error)) return false;
            options.unixPath = value;
        } else if (name == "--control") {
            options.controlPath = value;
        } else if (name == "--log") {
            options.logPath = value;
        } else if (name == "--dump-image") {
            options.dumpImagePath = value;
        } else if (name == "--serial" || name == "--version" || name == "--hw-version") {
            uint32_t& word = name == "--serial"    ? module.serial
                             : name == "--version" ? module.version
                                                   : module.hardwareVersion;
            if (!parseHexWord(value, word)) return bad("up to 8 hex digits");
        } else if (name == "--update-version") {
            uint32_t word = 0;
            if (!parseHexWord(value, word)) return bad("up to 8 hex digits");
            module.updateVersion = word;
        } else if (name == "--build" || name == "--update-build") {
            if (!parseNumber(value.c_str(), 0xFFFFFFFFul, 10, number)) return bad("a decimal 32-bit number");
            if (name == "--build")
                module.buildNumber = static_cast<uint32_t>(number);
            else
                module.updateBuild = static_cast<uint32_t>(number);
        } else if (name == "--router") {
            if (!parseNumber(value.c_str(), 255, 0, number)) return bad("0-255");
            options.routerGiven = true;
            module.router = static_cast<uint8_t>(number);
        } else if (name == "--name") {
            module.name = value;
        } else if (name == "--chip-id") {
            if (!parseChipId(value, module.chipId)) return bad("four hex words W0,W1,W2,W3");
        } else if (name == "--model") {
            if (!parseNumber(value.c_str(), 255, 0, number)) return bad("0-255");
            module.model = static_cast<uint8_t>(number);
        } else if (name == "--address") {
            if (!parseAddress(value, module.address)) return bad("an even number 2-254");
        } else if (name == "--tcp-port") {
            if (!parseNumber(value.c_str(), 65535, 10, number)) return bad("0-65535");
            options.announcedPortGiven = true;
            options.announcedPort = static_cast<uint16_t>(number);
        } else if (name == "--router-module") {
            ModuleConfig routed;
            if (!parseRoutedModule(value, routed)) return bad("ADDR:SERIAL:MODEL[:BUILD[:VERSION]]");
            options.routedModules.push_back(routed);
        } else if (name == "--load-way") {
            if (!parseLoadWay(value, options.loadWay)) return bad("keep, reconnect, announce or gone");
        } else if (name == "--piece-size") {
            if (!parseNumber(value.c_str(), 65535, 10, number) || number == 0) return bad("1-65535");
            options.pieceSize = static_cast<uint16_t>(number);
        } else if (name == "--restart-ms") {
            if (!parseNumber(value.c_str(), 60000, 10, number)) return bad("0-60000");
            options.restartMs = static_cast<unsigned>(number);
        } else if (name == "--stream-ms") {
            if (!parseNumber(value.c_str(), 60000, 10, number)) return bad("0-60000");
            options.streamMs = static_cast<unsigned>(number);
        } else if (name == "--random-replies") {
            RandomReplies check;
            if (!check.configure(value, error)) return false;
            options.randomReplies = value;
        }
    }
    return finish(options, error);
}

}  // namespace modsim
