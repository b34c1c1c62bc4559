#include "Discovery.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace modsim {

namespace {

std::string endpoint(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

void putLittleEndian(uint8_t* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

DiscoveryResponder::DiscoveryResponder(const Identity& identity, uint16_t tcpPort, in_addr answerFrom, PacketLog& log)
    : identity_(identity), tcpPort_(tcpPort), answerFrom_(answerFrom), log_(log) {}

DiscoveryResponder::~DiscoveryResponder() {
    if (answerFd_ >= 0 && answerFd_ != queryFd_) close(answerFd_);
    if (queryFd_ >= 0) close(queryFd_);
}

bool DiscoveryResponder::open(std::string& error) {
    auto fail = [&error](const std::string& what) {
        error = what + ": " + std::strerror(errno);
        return false;
    };
    queryFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (queryFd_ < 0) return fail("discovery socket");
    // Several simulators in one namespace all hear the query.
    const int on = 1;
    setsockopt(queryFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDiscoveryQueryPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(queryFd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail("discovery bind");
    ip_mreq membership{};
    inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(queryFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return fail("joining the discovery group");

    if (answerFrom_.s_addr == htonl(INADDR_ANY)) {
        answerFd_ = queryFd_;
        return true;
    }
    answerFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (answerFd_ < 0) return fail("discovery answer socket");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = answerFrom_;
    if (bind(answerFd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return fail("discovery answer bind");
    return true;
}

void DiscoveryResponder::onReadable() {
    uint8_t query[64];
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t length =
        recvfrom(queryFd_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) != kDiscoveryDatagramSize || query[0] != 1) {
        log_.event("discovery ignored " + std::to_string(length) + " bytes from " + endpoint(sender));
        return;
    }
    log_.event("discovery query from " + endpoint(sender));

    uint8_t reply[kDiscoveryDatagramSize] = {};
    reply[1] = identity_.address;
    putLittleEndian(reply + 2, tcpPort_, 2);
    putLittleEndian(reply + 4, identity_.serial, 4);
    reply[12] = identity_.model;
    sockaddr_in target = sender;
    target.sin_port = htons(kDiscoveryAnswerPort);
    if (sendto(answerFd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&target), sizeof target) < 0) {
        log_.event("discovery answer to " + endpoint(target) + " failed: " + std::strerror(errno));
        return;
    }
    log_.event("discovery answer to " + endpoint(target) + ": " +
               hexBytes(std::vector<uint8_t>(reply, reply + sizeof reply)));
}

}  // namespace modsim
