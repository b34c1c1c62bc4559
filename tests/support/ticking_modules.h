// Modules on loopback TCP played by a forked child process, so that their sockets and
// threads stay out of the test process's own: each listens on an address of its own,
// takes any number of connections, answers every address probe [0xAD, 0x00] with
// [address, 0x00], reads and drops everything else, and, when it ticks, sends a small
// packet [address, 0x03, 0x10, 0x01, n] on every connection each millisecond. Make it
// before the test starts any thread; the child ends with this object or with the test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class TickingModules {
public:
    struct Module {
        std::string ip;  // a loopback address ("127.0.1.1")
        uint8_t address;
        bool ticks;
    };

    explicit TickingModules(const std::vector<Module>& modules);
    ~TickingModules();
    TickingModules(const TickingModules&) = delete;
    TickingModules& operator=(const TickingModules&) = delete;

    bool ready() const { return child_ > 0; }
    // The module's address and port, in network byte order and as a number.
    uint32_t ip(std::size_t module) const { return ips_[module]; }
    uint16_t port(std::size_t module) const { return ports_[module]; }

private:
    pid_t child_ = -1;
    int lifeline_ = -1;
    std::vector<uint32_t> ips_;
    std::vector<uint16_t> ports_;
};

}  // namespace testsupport
