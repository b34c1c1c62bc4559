// The simulator's record of its traffic, one line per packet or event, flushed at once:
//   rx <hex bytes>   a complete packet received from the host (wire form)
//   tx <hex bytes>   bytes written to the host in one go (a packet, or a fault's bytes)
//   ev <text>        anything else worth asserting on (connections, faults, heartbeat checks)
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace modsim {

class PacketLog {
public:
    PacketLog() = default;
    ~PacketLog();
    PacketLog(const PacketLog&) = delete;
    PacketLog& operator=(const PacketLog&) = delete;

    // "-" logs to standard error; any other path is truncated and written.
    bool open(const std::string& path);

    void received(const std::vector<uint8_t>& bytes);
    void sent(const std::vector<uint8_t>& bytes);
    void event(const std::string& text);

private:
    void line(const char* tag, const std::string& text);

    std::FILE* file_ = nullptr;
    bool owned_ = false;
};

}  // namespace modsim
