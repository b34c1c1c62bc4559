// The link server on a USB link, against the real libusb and emulated modules: an
// independent ZeroMQ peer (tests/peers/zmq_peer.py) plays the clients, the simulated
// module or the test itself plays the module, so requests run peer -> server -> USB
// link -> module and back.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "aLink.h"
#include "aLinkServer.h"
#include "aServer_ZeroMQ.h"
#include "aTrace.h"
#include "modsim_process.h"
#include "process.h"
#include "raw_packets.h"
#include "tempdir.h"
#include "module_on_bus.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

const uint32_t SERIAL = 0x00005E4E;
const char* const SERIAL_TEXT = "00005E4E";
const uint8_t ADDRESS = 6;
const uint8_t MODEL = 19;
const uint32_t LOOPBACK = 0x0100007Fu;

ProcessResult runPeer(const std::vector<std::string>& args, std::chrono::milliseconds limit = 60s) {
    return testsupport::runZmqPeer(args, limit);
}

uint8_t fromModule(const aPacket* packet, const void*) {
    return packet->address == ADDRESS;
}

class LinkServerModsim : public testsupport::ServedModuleSuite {
protected:
    static void SetUpTestSuite() { startModule(SERIAL_TEXT, MODEL, ADDRESS, {"--stream-ms", "10"}); }
    static void TearDownTestSuite() { stopModule(); }
    void SetUp() override { serve(SERIAL); }
};

TEST_F(LinkServerModsim, ServesLocallyOnTheAddressItBound) {
    EXPECT_EQ(networkInterface, LOOPBACK);
    EXPECT_NE(port, 0);
    // A served module is reached through the server only; the client link is shared.
    EXPECT_EQ(aLink_CreateUSB(SERIAL), 0u);
    aLinkRef again = aLink_CreateClient(0, 0, id);
    EXPECT_EQ(again, id);
    aLink_Destroy(&again);
    EXPECT_EQ(aLink_GetStatus(id), LINK_RUNNING);
}

TEST_F(LinkServerModsim, TwoClientsAndTheCreatorShareTheModule) {
    std::atomic<bool> done{false};
    ProcessResult peer;
    std::thread clients([&] {
        peer = runPeer({"share", std::to_string(port), std::to_string(ADDRESS), "12"});
        done = true;
    });
    // Meanwhile this process reads a 16-bit value through its own client link.
    const uint8_t get[] = {0x10, 0x42, 0x00};
    int gets = 0;
    std::vector<std::string> wrong;
    while (!done) {
        aPacket* request = aPacket_CreateWithData(ADDRESS, sizeof get, get);
        ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(id, fromModule, nullptr, 3000);
        const std::vector<uint8_t> wanted = {0x10, 0x02, 0x00, 0x22, 0x33};
        if (!reply) {
            wrong.push_back("no reply");
        } else {
            const std::vector<uint8_t> got(reply->data, reply->data + reply->dataSize);
            if (got != wanted) wrong.push_back("wrong reply of " + std::to_string(got.size()) + " bytes");
            aPacket_Destroy(&reply);
        }
        ++gets;
    }
    clients.join();
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
    EXPECT_GT(gets, 3);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " of " << gets << ", first: " << wrong.front();
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(LinkServerModsim, StreamedBatchesReachEachSubscribedClient) {
    // Batches leave at the module's heartbeats.
    const testsupport::Heartbeats heartbeats(*sim);
    const ProcessResult peer = runPeer({"stream", std::to_string(port), std::to_string(ADDRESS)});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
}

TEST_F(LinkServerModsim, OpenWriteLetsOtherRequestsPassAndRestarts) {
    const ProcessResult peer = runPeer({"pools", std::to_string(port), std::to_string(ADDRESS)});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
}

// A subscriber that went away is dropped with its connection: the module stops the
// stream nobody wants any more, and at most one batch is still sent its way.
TEST_F(LinkServerModsim, VanishedSubscriberIsDropped) {
    const testsupport::Heartbeats heartbeats(*sim);
    const std::string disabled = "ev stream disable 10 03 00";
    const size_t before = sim->countInLog(disabled);
    aCorvalithDebuggingEnable = 1;
    aCorvalithDebuggingLevel = 0x4;
    testing::internal::CaptureStdout();
    const ProcessResult peer = runPeer({"vanish", std::to_string(port), std::to_string(ADDRESS)});
    const bool stopped = sim->waitForLog(disabled, before + 1, 10s);
    // Several more batches leave after the client is gone.
    std::this_thread::sleep_for(1500ms);
    aCorvalithDebuggingEnable = 0;
    const std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
    EXPECT_TRUE(stopped);
    size_t failures = 0;
    for (size_t at = trace.find("failed to send id"); at != std::string::npos;
         at = trace.find("failed to send id", at + 1))
        ++failures;
    EXPECT_LE(failures, 1u);
}

TEST_F(LinkServerModsim, LastUseStopsTheServerAndFreesTheModule) {
    const aLinkRef gone = id;
    aLink_Destroy(&id);
    EXPECT_EQ(aLink_GetStatus(gone), LINK_INVALID);
    aLinkRef direct = aLink_CreateUSB(SERIAL);
    EXPECT_NE(direct, 0u);
    aLink_Destroy(&direct);
    // Nothing listens on the port any more: a client gets no reply.
    const ProcessResult peer = runPeer({"exchange", std::to_string(port), "0600", "0600"}, 20s);
    EXPECT_NE(peer.out, "ok\n");
}

// A flush while a request is in flight: its late reply goes to nobody, and the next
// request still gets its own reply.
class LinkServerBare : public LinkServerModsim {
protected:
    void SetUp() override {}
    void TearDown() override {}
};

TEST_F(LinkServerBare, FlushKeepsRepliesAlignedWithRequestsInFlight) {
    aLinkRef usb = aLink_CreateUSB(SERIAL);
    ASSERT_NE(usb, 0u);
    aServerRef server = aServer_Create(usb, 0, 1);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    uint16_t served = 0;
    ASSERT_EQ(aServer_GetPort(server, &served), aErrNone);
    ASSERT_EQ(sim->control("fault delay 1500"), "ok");
    const size_t asked = sim->countInLog("rx 06 03 10 41 00");
    testsupport::BackgroundProcess peer({"/usr/bin/python3",
                                         testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py", "flush",
                                         std::to_string(served), std::to_string(ADDRESS)});
    std::string line;
    ASSERT_TRUE(peer.readLine(line));
    ASSERT_EQ(line, "sent");
    // The request has reached the module: its reply is owed.
    ASSERT_TRUE(sim->waitForLog("rx 06 03 10 41 00", asked + 1));
    EXPECT_EQ(aServer_FlushFIFO(server), aErrNone);
    ASSERT_TRUE(peer.readLine(line, 20s));
    EXPECT_EQ(line, "ok");
    aLink_InstallUserPacketFilter(usb, nullptr, nullptr);
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
    aLink_Destroy(&usb);
}

// Not restricted to the local host, the server binds the host's first interface and
// reports that address; a client reaches the module there.
TEST_F(LinkServerBare, NetworkModeServesTheBoundInterface) {
    uint16_t served = 0;
    uint32_t bound = 0;
    aLinkRef owner = aLink_CreateServer(SERIAL, &served, &bound, 0);
    ASSERT_NE(owner, 0u);
    EXPECT_NE(bound, LOOPBACK);
    EXPECT_NE(bound, 0u);
    aLinkRef other = aLink_CreateClient(bound, served, 0);
    ASSERT_NE(other, 0u);
    EXPECT_NE(other, owner);
    for (aLinkRef user : {other, owner}) {
        const uint8_t get[] = {0x10, 0x41, 0x00};
        aPacket* request = aPacket_CreateWithData(ADDRESS, sizeof get, get);
        ASSERT_EQ(aLink_PutPacket(user, request), aErrNone);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(user, fromModule, nullptr, 3000);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(reply->dataSize, 4);
        EXPECT_EQ(reply->data[3], 0x11);
        aPacket_Destroy(&reply);
    }
    aLink_Destroy(&other);
    aLink_Destroy(&owner);
}

// A server that cannot learn the module's address fails; the USB link that another
// user holds keeps that user's use and stays as it was, without a server.
TEST_F(LinkServerBare, FailedCreationKeepsAnotherUsersLink) {
    aLinkRef direct = aLink_CreateUSB(SERIAL);
    ASSERT_NE(direct, 0u);
    ASSERT_EQ(sim->control("fault no-probe on"), "ok");
    uint16_t served = 0;
    uint32_t bound = 0;
    EXPECT_EQ(aLink_CreateServer(SERIAL, &served, &bound, 1), 0u);
    ASSERT_EQ(sim->control("fault no-probe off"), "ok");
    EXPECT_EQ(aLink_GetStatus(direct), LINK_RUNNING);
    const uint8_t get[] = {0x10, 0x41, 0x00};
    aPacket* request = aPacket_CreateWithData(ADDRESS, sizeof get, get);
    ASSERT_EQ(aLink_PutPacket(direct, request), aErrNone);
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(direct, fromModule, nullptr, 3000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data[3], 0x11);
    aPacket_Destroy(&reply);
    // No server is left on the link: it is shared directly again, and the uses count right.
    aLinkRef again = aLink_CreateUSB(SERIAL);
    EXPECT_EQ(again, direct);
    aLink_Destroy(&again);
    EXPECT_EQ(aLink_GetStatus(direct), LINK_RUNNING);
    const aLinkRef held = direct;
    aLink_Destroy(&direct);
    EXPECT_EQ(aLink_GetStatus(held), LINK_INVALID);
}

// The test plays the module on the bed's pipe, to send what the simulator would not.
class ScriptedModule {
public:
    explicit ScriptedModule(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~ScriptedModule() {
        stop_ = true;
        thread_.join();
    }

private:
    void run() {
        using testsupport::sendPacket;
        while (!stop_) {
            const auto packet = testsupport::readPacket(fd_, 50ms);
            if (!packet) continue;
            const testsupport::Bytes& data = packet->data;
            if (packet->address == 0xAD && data.empty()) {
                sendPacket(fd_, ADDRESS, {});
            } else if (packet->address == ADDRESS && data == testsupport::Bytes{0x03, 0x48, 0x20}) {
                sendPacket(fd_, ADDRESS, {0x03, 0x08, 0x00, MODEL});
            } else if (packet->address == ADDRESS && data == testsupport::Bytes{0x42}) {
                // A packet of another module first, then a reply of one data byte.
                sendPacket(fd_, ADDRESS + 2, {0x42});
                sendPacket(fd_, ADDRESS, {0x42});
            } else if (packet->address == ADDRESS && data == testsupport::Bytes{0x43, 0x01}) {
                stale_ = true;
            }
        }
    }

public:
    std::atomic<bool> stale_{false};

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(LinkServerScripted, OneByteReplyDeliveredAndStrayPacketsNeverTaken) {
    usbtest::BedDevice device("00005E4F", MODEL);
    ASSERT_TRUE(device.ready());
    ScriptedModule module(device.moduleFd());
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    aLinkRef id = aLink_CreateServer(0x00005E4F, &port, &networkInterface, 1);
    ASSERT_NE(id, 0u);

    // An unasked packet that looks like the coming reply waits in the link's queue
    // before the request is made.
    const uint64_t before = device.stats().bytesIn;
    device.moduleWrite(std::string("\x06\x02\x42\xEE", 4));
    testsupport::waitUntil([&] { return device.stats().bytesIn >= before + 4; }, 5s);
    ASSERT_GE(device.stats().bytesIn, before + 4);
    std::this_thread::sleep_for(200ms);

    const ProcessResult peer = runPeer({"exchange", std::to_string(port), "060142", "060142"});
    EXPECT_EQ(peer.out, "ok\n") << peer.err;
    aLink_Destroy(&id);
}

}  // namespace
