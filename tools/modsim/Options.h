// Command line of the simulator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace modsim {

enum class PortKind { None, Tcp, Unix, Pty };

// How a module restarts into its loader on LOAD: answer and keep the link, drop the
// link and announce the loader after the next probe, drop the link and announce the
// loader as soon as the host is back, or never come back.
enum class LoadWay { Keep, Reconnect, Announce, Gone };

// Everything that tells one simulated module from another.
struct ModuleConfig {
    uint8_t address = 2;
    uint32_t serial = 0x1234ABCD;
    uint8_t model = 1;
    uint8_t router = 2;  // system option 2
    uint32_t version = 0;
    uint32_t hardwareVersion = 0;
    uint32_t buildNumber = 0;
    std::string name;
    uint32_t chipId[4] = {0, 0, 0, 0};
    // What the module runs after a firmware update; unchanged when not given.
    std::optional<uint32_t> updateBuild;
    std::optional<uint32_t> updateVersion;
};

struct Options {
    PortKind port = PortKind::None;
    std::string tcpAddress;  // dotted IPv4 address for --tcp
    uint16_t tcpPort = 0;    // 0 binds an ephemeral port
    std::string unixPath;
    std::string controlPath;
    std::string logPath;
    bool discovery = false;
    bool announcedPortGiven = false;
    uint16_t announcedPort = 0;  // --tcp-port: the port named in discovery answers
    bool routerGiven = false;
    // The module the host connects to (a router when routed modules are given).
    ModuleConfig module;
    // Modules on the router's I2C network, reached through the router's link.
    std::vector<ModuleConfig> routedModules;
    // Loader behaviour.
    LoadWay loadWay = LoadWay::Keep;
    // Every module starts with its loader running, as a boot ROM's jump starts it.
    bool startInLoader = false;
    uint16_t pieceSize = 512;
    unsigned restartMs = 200;
    // Interval of streamed samples; 0 sends them only on request.
    unsigned streamMs = 20;
    // Spec of replies shaped at random (RandomReplies.h); empty: none.
    std::string randomReplies;
    std::string dumpImagePath;
};

// Fills `options` from argv. On a bad command line returns false with a message in `error`;
// `help` is set when usage was asked for.
bool parseOptions(int argc, char** argv, Options& options, std::string& error, bool& help);

// "keep", "reconnect", "gone".
bool parseLoadWay(const std::string& text, LoadWay& way);
const char* loadWayName(LoadWay way);

extern const char* const kUsage;

}  // namespace modsim
