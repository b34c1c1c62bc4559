// The simulated module's loader on command 0x5F, driven with raw packets over TCP: a whole
// session from INIT to REBOOT with sums, pieces and the image dump, the four ways of
// restarting into the loader, and each loader fault.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

#include "byte_io.h"
#include "modsim_process.h"
#include "raw_packets.h"
#include "tempdir.h"
#include "byte_patterns.h"

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::hexText;
using testsupport::ModsimProcess;

namespace {

constexpr uint8_t kAddress = 4;
constexpr uint8_t kLoader = 0x5F;
constexpr std::size_t kChunk = 26;
constexpr uint32_t kFirmwareBase = 0x00000000;

uint32_t byteSum(const Bytes& bytes) {
    uint32_t sum = 0;
    for (const uint8_t b : bytes) sum += b;
    return sum;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The host's half of the loader exchange, one raw packet at a time.
class LoaderSession {
public:
    LoaderSession(const ModsimProcess& sim, const std::string& address) : sim_(sim), address_(address) {
        fd_ = connect();
    }
    ~LoaderSession() {
        if (fd_ >= 0) close(fd_);
    }

    int connect() const { return testsupport::connectTcp(address_, sim_.tcpPort()); }
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Connects again, trying for a bounded while (a rebooting module stops listening).
    bool reconnect() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        for (int attempt = 0; attempt < 150 && fd_ < 0; ++attempt) {
            fd_ = connect();
            if (fd_ < 0) std::this_thread::sleep_for(20ms);
        }
        return fd_ >= 0;
    }

    std::optional<testsupport::RawPacket> exchange(uint8_t address, const Bytes& data,
                                                   std::chrono::milliseconds limit = 2s) const {
        return testsupport::exchangePacket(fd_, address, data, limit);
    }
    // The data of the loader's reply, empty when none came.
    Bytes request(const Bytes& data, std::chrono::milliseconds limit = 2s) const {
        const auto reply = exchange(kAddress, data, limit);
        return reply ? reply->data : Bytes{};
    }

    // PREPARE: the status byte and the piece size, or nothing.
    std::optional<std::pair<uint8_t, uint16_t>> prepare(uint8_t flags, uint32_t address) const {
        const Bytes reply =
            request({kLoader, 0x03, flags, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                     static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)});
        if (reply.size() != 5 || reply[0] != kLoader || reply[1] != 0x07) return std::nullopt;
        return std::make_pair(reply[2], static_cast<uint16_t>(reply[3] << 8 | reply[4]));
    }
    // DATA chunks of at most 26 bytes, each sent again while its count is wrong (at most 3 times).
    bool data(const Bytes& bytes) const {
        for (std::size_t offset = 0; offset < bytes.size();) {
            const std::size_t n = std::min(kChunk, bytes.size() - offset);
            Bytes chunk{kLoader, 0x01};
            chunk.insert(chunk.end(), bytes.begin() + static_cast<long>(offset),
                         bytes.begin() + static_cast<long>(offset + n));
            bool accepted = false;
            for (int attempt = 0; attempt < 3 && !accepted; ++attempt) {
                const Bytes reply = request(chunk);
                if (reply.size() != 3 || reply[1] != 0x01) return false;
                accepted = reply[2] == n;
            }
            if (!accepted) return false;
            offset += n;
        }
        return true;
    }
    // SUM: the status and the module's sum.
    std::optional<std::pair<uint8_t, uint32_t>> sum() const {
        const Bytes r = request({kLoader, 0x04});
        if (r.size() != 7 || r[1] != 0x07) return std::nullopt;
        return std::make_pair(r[2], static_cast<uint32_t>(r[3]) << 24 | static_cast<uint32_t>(r[4]) << 16 |
                                        static_cast<uint32_t>(r[5]) << 8 | r[6]);
    }
    int write(std::size_t length) const {
        const Bytes r = request({kLoader, 0x05, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
        return r.size() == 3 && r[1] == 0x07 ? r[2] : -1;
    }
    // One piece: DATA, a SUM that must match, WRITE; the WRITE status (-1 on any other failure).
    int piece(const Bytes& bytes) const {
        if (!data(bytes)) return -1;
        const auto checked = sum();
        if (!checked || checked->first != 0 || checked->second != byteSum(bytes)) return -1;
        return write(bytes.size());
    }
    // A firmware block in pieces of the size its PREPARE answer names.
    bool firmwareBlock(uint32_t address, const Bytes& image) const {
        const auto prepared = prepare(1, address);
        if (!prepared || prepared->first != 0 || prepared->second == 0) return false;
        for (std::size_t offset = 0; offset < image.size(); offset += prepared->second) {
            const std::size_t n = std::min<std::size_t>(prepared->second, image.size() - offset);
            if (piece(Bytes(image.begin() + static_cast<long>(offset),
                            image.begin() + static_cast<long>(offset + n))) != 0)
                return false;
        }
        return true;
    }
    // INIT and one loader block with its sum.
    bool sendLoader(const Bytes& loader) const {
        const Bytes init = request({kLoader, 0x00});
        if (init.size() != 6 || init[1] != 0x00) return false;
        const auto prepared = prepare(0, 0x10000000);
        if (!prepared || prepared->first != 0 || !data(loader)) return false;
        const auto checked = sum();
        return checked && checked->first == 0 && checked->second == byteSum(loader);
    }
    // The loader sent and LOAD sent; the module drops the link, and the host connects again.
    bool loadAndReconnect() {
        return sendLoader(testsupport::steppedBytes(30, 1)) &&
               testsupport::sendPacket(fd_, kAddress, {kLoader, 0x02}) && testsupport::waitForReset(fd_, 1s) &&
               reconnect();
    }
    // The loader sent and LOAD answered on this link.
    bool startLoader(const Bytes& loader, std::chrono::milliseconds loadLimit = 2s) const {
        return sendLoader(loader) && hexText(request({kLoader, 0x02}, loadLimit)) == "5F 02";
    }

private:
    const ModsimProcess& sim_;
    std::string address_;
    int fd_ = -1;
};

std::vector<std::string> directModule(const std::string& tcp, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"--tcp",        tcp,       "--address",    "4",         "--serial",
                                  "0D0D0004",     "--build", "100",          "--version", "01000000",
                                  "--piece-size", "64",      "--restart-ms", "200"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(ModsimLoader, WholeSessionRebuildsTheImageAndRebootsIntoTheNewBuild) {
    testsupport::TempDir dir;
    const std::string dump = dir.path() + "/image.bin";
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0", {"--update-build", "200", "--update-version", "02030004",
                                                               "--dump-image", dump}));
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_TRUE(host.connected());

    ASSERT_TRUE(host.startLoader(testsupport::steppedBytes(40, 3)));
    // Blocks arrive out of address order; the image holds them in address order.
    const Bytes high = testsupport::steppedBytes(27, 11);
    const Bytes low = testsupport::steppedBytes(150, 5);
    ASSERT_TRUE(host.firmwareBlock(kFirmwareBase + 0x8000, high));
    ASSERT_TRUE(host.firmwareBlock(kFirmwareBase, low));
    EXPECT_EQ(sim.countInLog("ev loader 0x04 write 64 at 0x00000040"), 1u);
    EXPECT_EQ(sim.countInLog("ev loader 0x04 write 22 at 0x00000080"), 1u);
    EXPECT_EQ(sim.countInLog("ev loader 0x04 load keep after 40 loader bytes"), 1u);
    Bytes expected = low;
    expected.insert(expected.end(), high.begin(), high.end());

    ASSERT_TRUE(testsupport::sendPacket(host.fd(), kAddress, {kLoader, 0x06}));
    EXPECT_TRUE(testsupport::waitForReset(host.fd(), 2s));
    ASSERT_TRUE(sim.waitForLog("ev loader 0x04 dump " + dump + " 177 bytes"));
    EXPECT_EQ(hexText(readFile(dump)), hexText(expected));
    EXPECT_EQ(sim.countInLog("ev module 0x04 reboot build 200 version 02030004"), 1u);

    ASSERT_TRUE(host.reconnect());
    EXPECT_EQ(hexText(host.request({0x49, 0xFF})), "49 FF 00 00 00 C8");
    EXPECT_EQ(hexText(host.request({0x03, 0x47, 0x20})), "03 07 00 02 03 00 04");
    const std::string again = dir.path() + "/again.bin";
    EXPECT_EQ(sim.control("dump " + again), "ok 177 bytes");
    EXPECT_EQ(readFile(again), expected);
    EXPECT_NE(sim.control("module").find(" build=200 version=02030004 mode=firmware image=177 "), std::string::npos);
}

TEST(ModsimLoader, ChecksTheOrderOfTheExchange) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0"));
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_TRUE(host.connected());
    // Nothing prepared: no bytes taken; no INIT: PREPARE refused; no loader: WRITE refused.
    EXPECT_EQ(hexText(host.request({kLoader, 0x01, 0xAA})), "5F 01 00");
    EXPECT_EQ(host.prepare(0, 0x10000000), std::make_optional(std::make_pair<uint8_t, uint16_t>(1, 0)));
    EXPECT_EQ(hexText(host.request({kLoader, 0x00})), "5F 00 10 00 00 00");
    EXPECT_EQ(host.prepare(0, 0x10000000), std::make_optional(std::make_pair<uint8_t, uint16_t>(0, 64)));
    ASSERT_TRUE(host.data(testsupport::steppedBytes(3, 1)));
    EXPECT_EQ(host.write(3), 1);
    ASSERT_TRUE(host.startLoader(testsupport::steppedBytes(30, 2)));
    // The loader takes a WRITE only for exactly the bytes of its piece.
    ASSERT_EQ(host.prepare(1, kFirmwareBase), std::make_optional(std::make_pair<uint8_t, uint16_t>(0, 64)));
    ASSERT_TRUE(host.data(testsupport::steppedBytes(10, 9)));
    EXPECT_EQ(host.write(11), 1);
    EXPECT_EQ(host.piece(testsupport::steppedBytes(10, 9)), 0);
    EXPECT_EQ(sim.control("module"),
              "ok address=4 serial=0D0D0004 model=1 build=100 version=01000000 "
              "mode=loader image=10 absent=0 refusing=0");
}

TEST(ModsimLoader, AnswersLoadAndKeepsTheLink) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0"));
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_TRUE(host.startLoader(testsupport::steppedBytes(30, 1)));
    EXPECT_TRUE(host.firmwareBlock(kFirmwareBase, testsupport::steppedBytes(70, 4)));
    EXPECT_EQ(sim.countInLog("ev disconnect restart into loader"), 0u);
}

TEST(ModsimLoader, DropsTheLinkOnLoadAndAnnouncesTheLoaderAfterTheNextProbe) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0", {"--load-way", "reconnect"}));
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_TRUE(host.loadAndReconnect());
    const auto probe = host.exchange(0xAD, {});
    ASSERT_TRUE(probe);
    EXPECT_EQ(hexText(testsupport::packetWire(probe->address, probe->data)), "04 00");
    const auto announced = testsupport::readPacket(host.fd());
    ASSERT_TRUE(announced);
    EXPECT_EQ(hexText(testsupport::packetWire(announced->address, announced->data)), "04 02 5F 02");
    EXPECT_TRUE(host.firmwareBlock(kFirmwareBase, testsupport::steppedBytes(70, 4)));
}

// The announcing loader says so on the new connection unasked, again after each route-on
// (a host syncing a new link discards what it received first), and stops once spoken to.
TEST(ModsimLoader, AnnouncingLoaderConfirmsOnEveryNewLinkUntilSpokenTo) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0", {"--load-way", "announce"}));
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_TRUE(host.loadAndReconnect());
    for (const bool routeOn : {false, true}) {
        SCOPED_TRACE(routeOn ? "after route-on" : "on the connection");
        if (routeOn) {
            ASSERT_TRUE(testsupport::sendPacket(host.fd(), 0xAF, {0x01}));
        }
        const auto announced = testsupport::readPacket(host.fd());
        ASSERT_TRUE(announced);
        EXPECT_EQ(hexText(testsupport::packetWire(announced->address, announced->data)), "04 02 5F 02");
    }
    EXPECT_TRUE(host.firmwareBlock(kFirmwareBase, testsupport::steppedBytes(70, 4)));
    ASSERT_TRUE(testsupport::sendPacket(host.fd(), 0xAF, {0x01}));
    EXPECT_FALSE(testsupport::readPacket(host.fd(), 300ms)) << "announced after the host had spoken to the loader";
}

TEST(ModsimLoader, NeverComesBackWhenGone) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0"));
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(sim.control("load-way gone"), "ok");
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_TRUE(host.sendLoader(testsupport::steppedBytes(30, 1)));
    ASSERT_TRUE(testsupport::sendPacket(host.fd(), kAddress, {kLoader, 0x02}));
    EXPECT_TRUE(testsupport::waitForReset(host.fd(), 1s));
    for (int attempt = 0; attempt < 5; ++attempt) {
        EXPECT_EQ(host.connect(), -1);
        std::this_thread::sleep_for(60ms);
    }
    EXPECT_NE(sim.control("status").find(" listening=0"), std::string::npos);
}

TEST(ModsimLoader, ARoutedModuleRunsItsOwnLoaderAndLeavesTheNetworkWhenGone) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), {"--tcp", "127.0.0.5:0", "--address", "2", "--piece-size", "32", "--router-module",
                                   "4:0D0D0004:9:100", "--router-module", "6:0D0D0006:9:100"});
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_EQ(sim.control("update-to 4 300 05000000"), "ok");
    ASSERT_TRUE(host.startLoader(testsupport::steppedBytes(30, 1)));
    ASSERT_TRUE(host.firmwareBlock(kFirmwareBase, testsupport::steppedBytes(70, 4)));
    ASSERT_TRUE(testsupport::sendPacket(host.fd(), kAddress, {kLoader, 0x06}));
    // The router's link stays; the module answers with its new build at once.
    EXPECT_EQ(hexText(host.request({0x49, 0xFF})), "49 FF 00 00 01 2C");
    EXPECT_EQ(hexText(host.request({0x03, 0x47, 0x20})), "03 07 00 05 00 00 00");
    EXPECT_EQ(sim.control("dump " + dir.path() + "/routed.bin 4"), "ok 70 bytes");
    EXPECT_EQ(sim.control("dump " + dir.path() + "/other.bin 6"), "ok 0 bytes");

    ASSERT_EQ(sim.control("load-way gone 4"), "ok");
    EXPECT_FALSE(host.startLoader(testsupport::steppedBytes(30, 1), 300ms));
    const auto probe = host.exchange(2, {0x08, 0x00, kAddress, 0x02, 0x03, 0x00, 0x00});
    ASSERT_TRUE(probe);
    EXPECT_EQ(hexText(probe->data), "08 00 04 00 83");
    EXPECT_EQ(hexText(host.request({0x49, 0xFF}, 200ms)), "");
}

struct LoaderFault {
    const char* command;
    // What the faulty exchange shows; the block is then sent again from PREPARE and must succeed.
    std::function<void(const LoaderSession&, const Bytes&)> faulty;
};

TEST(ModsimLoader, EachLoaderFaultActsOnceSoARetrySucceeds) {
    const Bytes piece = testsupport::steppedBytes(40, 8);
    const LoaderFault faults[] = {
        {"fault loader data-count",
         [](const LoaderSession& host, const Bytes& bytes) {
             Bytes chunk{kLoader, 0x01};
             chunk.insert(chunk.end(), bytes.begin(), bytes.begin() + 26);
             ASSERT_EQ(host.prepare(1, kFirmwareBase)->first, 0);
             EXPECT_EQ(hexText(host.request(chunk)), "5F 01 19");
             EXPECT_EQ(hexText(host.request(chunk)), "5F 01 1A");
         }},
        {"fault loader sum",
         [](const LoaderSession& host, const Bytes& bytes) {
             ASSERT_EQ(host.prepare(1, kFirmwareBase)->first, 0);
             ASSERT_TRUE(host.data(bytes));
             EXPECT_EQ(host.sum(), std::make_optional(std::make_pair<uint8_t, uint32_t>(0, byteSum(bytes) + 1)));
         }},
        {"fault loader write",
         [](const LoaderSession& host, const Bytes& bytes) {
             ASSERT_EQ(host.prepare(1, kFirmwareBase)->first, 0);
             EXPECT_EQ(host.piece(bytes), 3);
         }},
        {"fault loader piece-zero",
         [](const LoaderSession& host, const Bytes&) {
             EXPECT_EQ(host.prepare(1, kFirmwareBase), std::make_optional(std::make_pair<uint8_t, uint16_t>(0, 0)));
         }},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.command);
        testsupport::TempDir dir;
        ModsimProcess sim(dir.path(), directModule("127.0.0.5:0"));
        ASSERT_TRUE(sim.ready());
        LoaderSession host(sim, "127.0.0.5");
        ASSERT_TRUE(host.startLoader(testsupport::steppedBytes(30, 1)));
        ASSERT_EQ(sim.control(f.command), "ok");
        f.faulty(host, piece);
        ASSERT_TRUE(host.firmwareBlock(kFirmwareBase, piece));
        const std::string dump = dir.path() + "/image.bin";
        EXPECT_EQ(sim.control("dump " + dump), "ok 40 bytes");
        EXPECT_EQ(readFile(dump), piece);
    }
}

TEST(ModsimLoader, DropsTheLinkAfterKChunksOnceThenTakesTheRetry) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0"));
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_TRUE(host.startLoader(testsupport::steppedBytes(30, 1)));
    ASSERT_EQ(sim.control("fault loader drop-after 2"), "ok");
    const Bytes image = testsupport::steppedBytes(100, 6);
    ASSERT_EQ(host.prepare(1, kFirmwareBase)->first, 0);
    EXPECT_FALSE(host.data(image));
    EXPECT_EQ(sim.countInLog("ev loader 0x04 fault drop-after"), 1u);
    EXPECT_EQ(sim.countInLog("ev disconnect link lost"), 1u);
    ASSERT_TRUE(host.reconnect());
    ASSERT_TRUE(host.firmwareBlock(kFirmwareBase, image));
    const std::string dump = dir.path() + "/image.bin";
    EXPECT_EQ(sim.control("dump " + dump), "ok 100 bytes");
    EXPECT_EQ(readFile(dump), image);
}

TEST(ModsimLoader, RefusesTheLoaderWhileTheFaultIsOn) {
    testsupport::TempDir dir;
    ModsimProcess sim(dir.path(), directModule("127.0.0.5:0"));
    ASSERT_TRUE(sim.ready());
    LoaderSession host(sim, "127.0.0.5");
    ASSERT_EQ(sim.control("fault loader refuse on"), "ok");
    EXPECT_EQ(hexText(host.request({kLoader, 0x00})), "5F 00 10 00 00 00");
    EXPECT_EQ(host.prepare(0, 0x10000000), std::make_optional(std::make_pair<uint8_t, uint16_t>(1, 0)));
    EXPECT_EQ(hexText(host.request({kLoader, 0x02}, 300ms)), "");
    EXPECT_NE(sim.control("module").find(" mode=firmware "), std::string::npos);
    ASSERT_EQ(sim.control("fault loader refuse off"), "ok");
    EXPECT_TRUE(host.startLoader(testsupport::steppedBytes(30, 1)));
}

}  // namespace
