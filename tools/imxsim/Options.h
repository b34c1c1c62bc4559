// Command line of the simulated boot ROM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imxsim {

struct Options {
    bool pty = false;
    std::string hidSocket;  // SOCK_SEQPACKET path; one packet per HID report
    std::string logPath;
    uint32_t fuse[2] = {0x11223344, 0x55667788};  // CFG0, CFG1
    uint32_t security = 0x56787856;               // security state sent before every answer
    uint32_t writeStatus = 0x88888888;            // word that ends a write-file
    bool silent = false;
    bool strayDuringLoad = false;
    unsigned dropMs = 50;
    std::vector<std::string> loader;  // program started on JUMP
};

bool parseOptions(int argc, char** argv, Options& options, std::string& error, bool& help);

extern const char* const kUsage;

}  // namespace imxsim
