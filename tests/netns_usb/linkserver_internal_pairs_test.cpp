// The socket pairs inside a link server and inside a client link carry requests, replies
// and stream batches between the threads of one process. No other program can reach
// them: a ZeroMQ DEALER that a stranger connects to shares out what it sends between
// its peers and takes in what every peer sends, so a pair that listened on a loopback
// port would hand requests and replies to any local program and take frames from it.
// The test looks for every TCP port this process listens on besides the server's
// client port, has an independent ZeroMQ peer (tests/peers/zmq_peer.py) connect to each
// and inject a forged reply, while the process reads values through its links.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "aLink.h"
#include "aLinkServer.h"
#include "module_on_bus.h"
#include "process.h"

using namespace std::chrono_literals;

namespace {

const uint32_t SERIAL = 0x00005E5B;
const char* const SERIAL_TEXT = "00005E5B";
const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;
const uint32_t LOOPBACK = 0x0100007Fu;
// A read of the module's 16-bit value, its reply, and a reply no module sent.
const std::vector<uint8_t> GET = {0x10, 0x42, 0x00};
const std::vector<uint8_t> REPLY = {0x10, 0x02, 0x00, 0x22, 0x33};
const char* const FORGED_FRAME = "0605100200bad0";

uint8_t fromModule(const aPacket* packet, const void*) {
    return packet->address == ADDRESS;
}

// Inodes of the sockets this process holds.
std::set<unsigned long> ownSocketInodes() {
    std::set<unsigned long> inodes;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return inodes;
    for (int n = 0; n < 100000; ++n) {
        const dirent* entry = readdir(dir);
        if (!entry) break;
        char target[64] = "";
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        unsigned long inode = 0;
        if (length > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1) inodes.insert(inode);
    }
    closedir(dir);
    return inodes;
}

// The TCP ports this process listens on, on any address (IPv4 and IPv6).
std::set<uint16_t> ownListeners() {
    const std::set<unsigned long> inodes = ownSocketInodes();
    std::set<uint16_t> ports;
    for (const char* const name : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(name);
        std::string line;
        std::getline(table, line);  // the heading
        for (int n = 0; n < 100000 && std::getline(table, line); ++n) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            const size_t colon = local.rfind(':');
            if (state != "0A" || colon == std::string::npos || !inodes.count(inode)) continue;
            ports.insert(static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16)));
        }
    }
    return ports;
}

// Reads the value `count` times; returns how many reads got the module's own reply.
int readsAnsweredByTheModule(aLinkRef link, int count) {
    int right = 0;
    for (int n = 0; n < count; ++n) {
        aPacket* request = aPacket_CreateWithData(ADDRESS, static_cast<uint8_t>(GET.size()), GET.data());
        const aErr put = aLink_PutPacket(link, request);
        aPacket_Destroy(&request);
        if (put != aErrNone) continue;
        aPacket* reply = aLink_AwaitFirst(link, fromModule, nullptr, 3000);
        if (reply && std::vector<uint8_t>(reply->data, reply->data + reply->dataSize) == REPLY) ++right;
        if (reply) aPacket_Destroy(&reply);
    }
    return right;
}

class LinkServerInternalPairs : public testsupport::ServedModuleSuite {
protected:
    static void SetUpTestSuite() { startModule(SERIAL_TEXT, MODEL, ADDRESS); }
    static void TearDownTestSuite() { stopModule(); }
    void SetUp() override { serve(SERIAL); }
};

TEST_F(LinkServerInternalPairs, NoOtherProgramReachesThem) {
    // A second client link of this process, with pairs of its own.
    aLinkRef other = aLink_CreateClient(LOOPBACK, port, 0);
    ASSERT_NE(other, 0u);
    std::set<uint16_t> internal = ownListeners();
    internal.erase(port);

    std::vector<std::unique_ptr<testsupport::BackgroundProcess>> strangers;
    for (const uint16_t listening : internal) {
        strangers.push_back(std::make_unique<testsupport::BackgroundProcess>(std::vector<std::string>{
            "/usr/bin/python3", testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py", "stranger",
            std::to_string(listening), FORGED_FRAME, "4"}));
        std::string line;
        EXPECT_TRUE(strangers.back()->readLine(line, 10s) && line == "sent") << line;
    }
    const int reads = 10;
    EXPECT_EQ(readsAnsweredByTheModule(id, reads), reads) << "reads through the server's own client link";
    EXPECT_EQ(readsAnsweredByTheModule(other, reads), reads) << "reads through another client link";
    size_t next = 0;
    for (const uint16_t listening : internal) {
        std::string line;
        strangers[next]->readLine(line, 15s);
        ADD_FAILURE() << "this process listens on port " << listening
                      << " besides the server's client port; a local program connected to it, sent a forged "
                         "reply, and "
                      << line << " frames";
        ++next;
    }
    EXPECT_TRUE(internal.empty());
    aLink_Destroy(&other);
}

}  // namespace
