// Answers the network discovery query: a 16-byte datagram to 232.2.2.2:9888 is answered
// with a 16-byte datagram to the sender's address, port 9889 (fields little-endian):
//   byte 1 module address, bytes 2-3 TCP port, bytes 4-7 serial number, byte 12 model.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

#include "PacketLog.h"
#include "SimModule.h"

namespace modsim {

constexpr uint16_t kDiscoveryQueryPort = 9888;
constexpr uint16_t kDiscoveryAnswerPort = 9889;
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr std::size_t kDiscoveryDatagramSize = 16;

class DiscoveryResponder {
public:
    // `answerFrom` is the address answers leave from (so the host connects there);
    // INADDR_ANY lets routing choose.
    DiscoveryResponder(const Identity& identity, uint16_t tcpPort, in_addr answerFrom, PacketLog& log);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    bool open(std::string& error);
    int fd() const { return queryFd_; }
    // Reads one waiting datagram and answers it when it is a query.
    void onReadable();

private:
    Identity identity_;
    uint16_t tcpPort_;
    in_addr answerFrom_;
    PacketLog& log_;
    int queryFd_ = -1;
    int answerFd_ = -1;
};

}  // namespace modsim
