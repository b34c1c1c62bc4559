#include "Options.h"

#include <cstdlib>
#include <cstring>

namespace imxsim {

const char* const kUsage =
    "usage: imxsim (--pty | --hid-socket PATH) [options] [-- LOADER ARGS...]\n"
    "  --pty                 serve on a new pseudo-terminal (serial framing)\n"
    "  --hid-socket PATH     serve HID reports on a Unix SOCK_SEQPACKET socket\n"
    "  --log FILE            log to FILE ('-': standard error)\n"
    "  --fuses CFG0,CFG1     fuse words (hex) read at 0x401F4410 and 0x401F4420\n"
    "  --security HEX        security state word (default 56787856)\n"
    "  --write-status HEX    word that ends a write-file (default 88888888)\n"
    "  --silent              answer nothing\n"
    "  --stray-during-load   send stray bytes after the first data packet of a write-file\n"
    "  --drop-ms N           a partial serial command is dropped after N ms of silence (default 50)\n"
    "  LOADER ARGS           program started on JUMP (the started loader)\n";

namespace {

bool parseHex(const char* text, uint32_t& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 16);
    if (*end != '\0' || v > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& o, std::string& error, bool& help) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needs = [&]() {
            if (!next) error = arg + " needs a value";
            return next != nullptr;
        };
        if (arg == "--") {
            for (++i; i < argc; ++i) o.loader.push_back(argv[i]);
            break;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        } else if (arg == "--pty") {
            o.pty = true;
        } else if (arg == "--hid-socket") {
            if (!needs()) return false;
            o.hidSocket = argv[++i];
        } else if (arg == "--log") {
            if (!needs()) return false;
            o.logPath = argv[++i];
        } else if (arg == "--fuses") {
            if (!needs()) return false;
            const std::string text = argv[++i];
            const size_t comma = text.find(',');
            if (comma == std::string::npos || !parseHex(text.substr(0, comma).c_str(), o.fuse[0]) ||
                !parseHex(text.substr(comma + 1).c_str(), o.fuse[1])) {
                error = "--fuses wants CFG0,CFG1 in hex";
                return false;
            }
        } else if (arg == "--security" || arg == "--write-status") {
            if (!needs()) return false;
            if (!parseHex(argv[++i], arg == "--security" ? o.security : o.writeStatus)) {
                error = arg + " wants a hex word";
                return false;
            }
        } else if (arg == "--silent") {
            o.silent = true;
        } else if (arg == "--stray-during-load") {
            o.strayDuringLoad = true;
        } else if (arg == "--drop-ms") {
            if (!needs()) return false;
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || v < 1 || v > 60000) {
                error = "--drop-ms wants 1-60000";
                return false;
            }
            o.dropMs = static_cast<unsigned>(v);
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (o.pty == !o.hidSocket.empty()) {
        error = "give exactly one of --pty and --hid-socket";
        return false;
    }
    return true;
}

}  // namespace imxsim
