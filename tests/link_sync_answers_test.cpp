// A sync against plain TCP peers: one that answers the burst's queries late, whose
// answers that arrive after the handshake completed are still dropped, so none reaches
// the caller later; and one that streams samples that look like a probe answer and the
// start of a packet, whose bytes never come out cut from inside a sample. A caller's own
// probe after a sync still gets its answer.
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
#include "lookalike_samples.h"
#include "streaming_module.h"
#include "tcp_peer.h"

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

uint8_t isProbeAnswer(const aPacket* packet, const void*) {
    return packet->dataSize == 0;
}

aErr putProbe(aLinkRef id) {
    const uint8_t none = 0;
    aPacket* probe = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    const aErr result = aLink_PutPacket(id, probe);
    aPacket_Destroy(&probe);
    return result;
}

// Where in the sample's data the look-alike bytes lie.
struct LookalikeCase {
    const char* name;
    size_t offset;
};

void PrintTo(const LookalikeCase& tested, std::ostream* out) {
    *out << tested.name;
}

class LinkSyncAmidSamples : public ::testing::TestWithParam<LookalikeCase> {};

TEST_P(LinkSyncAmidSamples, HandsOutWholeSamplesOnlyAndNoAnswerToTheBurst) {
    const std::string sample = testsupport::lookalikeSample(GetParam().offset);
    testsupport::StreamingModule module(testsupport::LOOKALIKE_ADDRESS, sample, 1ms);
    aLinkRef id = aLink_CreateTCPIP(testsupport::loopback(), module.port());
    ASSERT_NE(id, 0u);
    testsupport::TakenPackets taken;
    for (int round = 0; round < 100; ++round) {
        ASSERT_EQ(aLink_Sync(id), aErrNone) << round;
        testsupport::takeQueued(id, sample, taken);
        std::this_thread::sleep_for(3ms);
        testsupport::takeQueued(id, sample, taken);
    }
    // Answers to the last bursts have had time to come.
    std::this_thread::sleep_for(300ms);
    testsupport::takeQueued(id, sample, taken);
    EXPECT_EQ(taken.foreign, 0) << "first: " << taken.firstForeign;
    EXPECT_EQ(taken.answers, 0);
    EXPECT_GT(taken.samples, 100);

    // The caller's own probe is answered, once.
    ASSERT_EQ(putProbe(id), aErrNone);
    aPacket* answer = aLink_AwaitFirst(id, isProbeAnswer, nullptr, 2000);
    EXPECT_NE(answer, nullptr);
    aPacket_Destroy(&answer);
    aPacket* surplus = aLink_AwaitFirst(id, isProbeAnswer, nullptr, 300);
    EXPECT_EQ(surplus, nullptr);
    aPacket_Destroy(&surplus);
    aLink_Destroy(&id);
}

INSTANTIATE_TEST_SUITE_P(Offsets, LinkSyncAmidSamples,
                         ::testing::Values(LookalikeCase{"AtTheStart", 0}, LookalikeCase{"InTheMiddle", 3},
                                           LookalikeCase{"AtTheEnd", 7}),
                         [](const ::testing::TestParamInfo<LookalikeCase>& tested) {
                             return std::string(tested.param.name);
                         });

// A caller that probes right after each sync gets one answer each time: the answers the
// link drops are those owed to its own bursts.
TEST(LinkSyncAnswersToTheCaller, AProbeRightAfterASyncIsAnsweredOnce) {
    testsupport::StreamingModule module(MODULE_ADDRESS, std::string{}, 1ms);
    aLinkRef id = aLink_CreateTCPIP(testsupport::loopback(), module.port());
    ASSERT_NE(id, 0u);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(aLink_Sync(id), aErrNone);
        ASSERT_EQ(putProbe(id), aErrNone);
        aPacket* answer = aLink_AwaitFirst(id, isProbeAnswer, nullptr, 2000);
        EXPECT_NE(answer, nullptr);
        aPacket_Destroy(&answer);
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(aLink_GetFirst(id, isProbeAnswer, nullptr), nullptr);
    aLink_Destroy(&id);
}

}  // namespace
