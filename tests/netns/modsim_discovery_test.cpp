// Network discovery of simulated modules, inside the private namespace of tools/netns/netns-run:
// the raw 16-byte multicast query and the 16-byte answers, and the guards that keep multicast
// away from any foreign interface.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <set>

#include "byte_io.h"
#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "test_namespace.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::ModsimProcess;

namespace {

struct Answer {
    std::string from;
    Bytes bytes;
};

// Listens on the answer port, sends `query` to the discovery group through 198.18.0.1 and
// gathers what arrives within `window`.
std::vector<Answer> discover(const Bytes& query, std::chrono::milliseconds window = 500ms) {
    const int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(9889);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);

    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr interfaceAddress{};
    inet_pton(AF_INET, "198.18.0.1", &interfaceAddress);
    setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddress, sizeof interfaceAddress);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
    EXPECT_EQ(sendto(sender, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
              static_cast<ssize_t>(query.size()));
    close(sender);

    std::vector<Answer> answers;
    const auto deadline = std::chrono::steady_clock::now() + window;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd entry{listener, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) break;
        uint8_t buffer[64];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(listener, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) break;
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        answers.push_back(Answer{text, Bytes(buffer, buffer + n)});
    }
    close(listener);
    return answers;
}

Bytes discoveryQuery() {
    Bytes query(16, 0);
    query[0] = 1;
    return query;
}

uint32_t littleEndian(const Bytes& bytes, std::size_t offset, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
    return value;
}

class ModsimDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::insideTestNamespace())
            GTEST_FAIL() << "not inside the netns-run namespace; refusing to send multicast";
    }
    testsupport::TempDir dir;
};

TEST_F(ModsimDiscovery, EachSimulatorAnswersTheQueryWithItsIdentityFromItsOwnAddress) {
    ModsimProcess first(
        dir.path(), {"--tcp", "127.0.0.2:0", "--discovery", "--serial", "CAFE0042", "--model", "17", "--address", "6"},
        "first");
    ModsimProcess second(dir.path(), {"--tcp", "127.0.0.3:0", "--discovery", "--serial", "1", "--model", "200"},
                         "second");
    ASSERT_TRUE(first.ready());
    ASSERT_TRUE(second.ready());

    const auto answers = discover(discoveryQuery());
    ASSERT_EQ(answers.size(), 2u);
    std::map<std::string, Bytes> byAddress;
    for (const auto& answer : answers) byAddress[answer.from] = answer.bytes;
    ASSERT_EQ(byAddress.count("127.0.0.2"), 1u);
    ASSERT_EQ(byAddress.count("127.0.0.3"), 1u);

    struct Expected {
        const char* from;
        uint8_t address;
        uint16_t port;
        uint32_t serial;
        uint8_t model;
    };
    const Expected expected[] = {{"127.0.0.2", 6, first.tcpPort(), 0xCAFE0042u, 17},
                                 {"127.0.0.3", 2, second.tcpPort(), 1u, 200}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.from);
        const Bytes& bytes = byAddress[e.from];
        ASSERT_EQ(bytes.size(), 16u);
        EXPECT_EQ(bytes[1], e.address);
        EXPECT_EQ(littleEndian(bytes, 2, 2), e.port);
        EXPECT_EQ(littleEndian(bytes, 4, 4), e.serial);
        EXPECT_EQ(bytes[12], e.model);
    }
    // The host can reach the module where the answer came from, on the port it names.
    const int host =
        testsupport::connectTcp("127.0.0.2", static_cast<uint16_t>(littleEndian(byAddress["127.0.0.2"], 2, 2)));
    ASSERT_GE(host, 0);
    ASSERT_TRUE(testsupport::writeBytes(host, {0xAD, 0x00}));
    EXPECT_EQ(testsupport::readBytes(host, 2), (Bytes{0x06, 0x00}));
    close(host);
}

TEST_F(ModsimDiscovery, AnnouncesTheGivenTcpPortAndAnswersEveryQuery) {
    ModsimProcess sim(dir.path(), {"--unix", dir.file("module.sock"), "--discovery", "--tcp-port", "4321"});
    ASSERT_TRUE(sim.ready());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto answers = discover(discoveryQuery(), 300ms);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(littleEndian(answers[0].bytes, 2, 2), 4321u);
    }
    EXPECT_EQ(sim.countInLog("ev discovery answer to " + std::string("198.18.0.1:9889: ") +
                             "00 02 E1 10 CD AB 34 12 00 00 00 00 01 00 00 00"),
              2u);
}

TEST_F(ModsimDiscovery, IgnoresDatagramsThatAreNotTheQuery) {
    ModsimProcess sim(dir.path(), {"--tcp", "127.0.0.2:0", "--discovery"});
    Bytes wrongKind = discoveryQuery();
    wrongKind[0] = 2;
    Bytes tooShort = discoveryQuery();
    tooShort.pop_back();
    for (const Bytes& datagram : {wrongKind, tooShort}) {
        EXPECT_TRUE(discover(datagram, 300ms).empty());
    }
    std::vector<std::string> events;
    for (const auto& line : sim.logLines()) events.push_back(line.substr(0, line.find(" from ")));
    const std::vector<std::string> expected{"ev discovery ignored 16 bytes", "ev discovery ignored 15 bytes"};
    EXPECT_EQ(events, expected);
}

// A foreign interface, made inside this test's own namespace, must stop both guards.
TEST_F(ModsimDiscovery, GuardsRefuseWhenAForeignInterfaceIsVisible) {
    const std::string ip = access("/usr/sbin/ip", X_OK) == 0 ? "/usr/sbin/ip" : "/sbin/ip";
    ASSERT_EQ(
        testsupport::runProcess({ip, "link", "add", "foreign0", "type", "veth", "peer", "name", "foreign1"}).exitCode,
        0);

    const std::string netnsRun = testsupport::requiredEnv("SOURCE_DIR") + "/tools/netns/netns-run";
    const auto refused = testsupport::runProcess({netnsRun, "/bin/echo", "ran"}, 10s);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_EQ(refused.out.find("ran"), std::string::npos);
    EXPECT_NE(refused.err.find("foreign network interface visible"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("foreign0"), std::string::npos) << refused.err;

    const auto simRefused =
        testsupport::runProcess({ModsimProcess::binary(), "--tcp", "127.0.0.2:0", "--discovery"}, 10s);
    EXPECT_EQ(simRefused.exitCode, 1);
    EXPECT_NE(simRefused.err.find("refusing --discovery"), std::string::npos) << simRefused.err;

    ASSERT_EQ(testsupport::runProcess({ip, "link", "del", "foreign0"}).exitCode, 0);
    const auto accepted = testsupport::runProcess({netnsRun, "/bin/echo", "ran"}, 10s);
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
    EXPECT_EQ(accepted.out, "ran\n");
}

}  // namespace
