// Command line of the simulator.
#pragma once

#include <cstdint>
#include <string>

namespace modsim {

enum class PortKind { None, Tcp, Unix, Pty };

struct Options {
    PortKind port = PortKind::None;
    std::string tcpAddress;  // dotted IPv4 address for --tcp
    uint16_t tcpPort = 0;    // 0 binds an ephemeral port
    std::string unixPath;
    std::string controlPath;
    std::string logPath;
    uint32_t serial = 0x1234ABCD;
    uint8_t model = 1;
    uint8_t address = 2;
    bool discovery = false;
    bool announcedPortGiven = false;
    uint16_t announcedPort = 0;  // --tcp-port: the port named in discovery answers
    // System entity values.
    uint32_t version = 0;
    uint32_t hardwareVersion = 0;
    uint32_t buildNumber = 0;
    bool routerGiven = false;
    uint8_t router = 0;
    std::string name;
    uint32_t chipId[4] = {0, 0, 0, 0};
};

// Fills `options` from argv. On a bad command line returns false with a message in `error`;
// `help` is set when usage was asked for.
bool parseOptions(int argc, char** argv, Options& options, std::string& error, bool& help);

extern const char* const kUsage;

}  // namespace modsim
