// A sync against a plain TCP peer that answers the burst's queries late: the answers
// that arrive after the handshake completed are still dropped by the sync, so none
// reaches the caller later.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "aLink.h"
#include "aLinkManagerInternal.h"

using namespace std::chrono_literals;

namespace {

const uint8_t MODULE_ADDRESS = 4;
const uint8_t ANSWER[2] = {MODULE_ADDRESS, 0x00};

bool readAll(int fd, uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t got = recv(fd, bytes, count, 0);
        if (got <= 0) return false;
        bytes += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

// Answers the first two sync queries at once and every later one only after a delay,
// as a module that is slow to work through a burst would.
class LateAnsweringPeer {
public:
    explicit LateAnsweringPeer(std::chrono::milliseconds lateBy) : lateBy_(lateBy) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LateAnsweringPeer() {
        shutdown(listener_, SHUT_RDWR);
        if (connection_ >= 0) shutdown(connection_, SHUT_RDWR);
        thread_.join();
        if (connection_ >= 0) close(connection_);
        close(listener_);
    }
    uint16_t port() const { return port_; }

private:
    void serve() {
        connection_ = accept(listener_, nullptr, nullptr);
        if (connection_ < 0) return;
        int queries = 0;
        for (;;) {
            uint8_t header[2];
            if (!readAll(connection_, header, 2)) return;
            uint8_t data[256];
            if (!readAll(connection_, data, header[1])) return;
            if (header[0] != 0xAD || header[1] != 0) continue;
            if (++queries > 2) std::this_thread::sleep_for(queries == 3 ? lateBy_ : 0ms);
            if (send(connection_, ANSWER, sizeof ANSWER, MSG_NOSIGNAL) != sizeof ANSWER) return;
        }
    }

    std::chrono::milliseconds lateBy_;
    int listener_ = -1;
    int connection_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

uint32_t loopback2() {
    in_addr address{};
    inet_pton(AF_INET, "127.0.0.2", &address);
    return address.s_addr;
}

TEST(LinkSyncAnswers, LateAnswersToTheBurstNeverReachTheCaller) {
    LateAnsweringPeer peer(20ms);
    aLinkRef id = aLink_CreateTCPIP(loopback2(), peer.port());
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
    aPacket* stray = aLink_AwaitPacket(id, 300);
    EXPECT_EQ(stray, nullptr);
    if (stray) aPacket_Destroy(&stray);
    aLink_Destroy(&id);
}

}  // namespace
