// Modules shared through link servers, against the real libusb and an emulated module
// bridged to the simulated module: the default configuration, the fallback to a link
// server found by local discovery, and a second process using the module over AWEAVE.
// Servers announce themselves by local multicast, so these run in a private namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "byte_io.h"
#include "Module.h"
#include "SystemClass.h"
#include "aTrace.h"
#include "modsim_process.h"
#include "tempdir.h"
#include "usbbed.h"
#include "wait_until.h"

using namespace Veltrane::Corvalith;
using namespace std::chrono_literals;
using testsupport::ModsimProcess;
using testsupport::TempDir;

namespace {

const uint32_t SERIAL = 0x0000CAFE;

aWeaveConfig plainConfig(uint8_t fallback = 0) {
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = fallback;
    return config;
}

aErr readSerial(Module& module, uint32_t* serial) {
    SystemClass system;
    system.init(&module, 0);
    return system.getSerialNumber(serial);
}

class ApiUsbShared : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        bed = usbbed_new();
        ASSERT_NE(bed, nullptr);
        const std::string socketPath = dir->file("cafe.sock");
        sim = new ModsimProcess(
            dir->path(), {"--unix", socketPath, "--serial", "0000CAFE", "--model", "19", "--address", "6"}, "cafe");
        ASSERT_TRUE(sim->ready());
        UsbBedDeviceSpec spec{"0000CAFE", 19, 0, 0, USBBED_LAYOUT_MODULE};
        UsbBedDevice* device = usbbed_add_device(bed, &spec);
        ASSERT_NE(device, nullptr);
        ASSERT_EQ(usbbed_device_bridge_unix(device, socketPath.c_str()), 0);
    }
    static void TearDownTestSuite() {
        delete sim;
        usbbed_free(bed);
        delete dir;
    }

    static TempDir* dir;
    static UsbBed* bed;
    static ModsimProcess* sim;
};

TempDir* ApiUsbShared::dir = nullptr;
UsbBed* ApiUsbShared::bed = nullptr;
ModsimProcess* ApiUsbShared::sim = nullptr;

TEST_F(ApiUsbShared, FallbackIsTriedOnceWhenAllowed) {
    aCorvalithDebuggingEnable = 1;
    aCorvalithDebuggingLevel = 0x1;
    Link link("Link");
    link.setConfig(plainConfig(1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(link.discoverAndConnect(USB, 0x0BADCAFE, 0), aErrNotFound);
    const std::string withFallback = testing::internal::GetCapturedStdout();

    link.setConfig(plainConfig(0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(link.discoverAndConnect(USB, 0x0BADCAFE, 0), aErrNotFound);
    const std::string withoutFallback = testing::internal::GetCapturedStdout();
    aCorvalithDebuggingEnable = 0;
    aCorvalithDebuggingLevel = 0;

    EXPECT_NE(withFallback.find("Executing Fallback: aWeave\n"), std::string::npos) << withFallback;
    EXPECT_EQ(withoutFallback.find("Executing Fallback"), std::string::npos) << withoutFallback;
}

// The default configuration opens a USB module through a link server of this process;
// a client of that server, by its port, uses the same module at the same time.
TEST_F(ApiUsbShared, DefaultConfigConnectsThroughALinkServer) {
    Module owner(2, 0);
    ASSERT_EQ(owner.connect(USB, SERIAL), aErrNone);
    EXPECT_EQ(owner.getModuleAddress(), 6);
    aWeaveConfig config;
    ASSERT_EQ(owner.getConfig(&config), aErrNone);
    EXPECT_NE(config.port, 0);
    EXPECT_EQ(config.networkInterface, 0x0100007Fu);

    linkSpec spec{};
    spec.type = AWEAVE;
    spec.ipAddress = config.networkInterface;
    spec.port = config.port;
    Module client(2, 0);
    ASSERT_EQ(client.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(client.getModuleAddress(), 6);

    for (Module* user : {&owner, &client, &owner}) {
        SystemClass system;
        system.init(user, 0);
        uint32_t serial = 0;
        EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
        EXPECT_EQ(serial, SERIAL);
    }
    // A direct USB link to a served module is refused.
    Module direct(2, 0);
    direct.setConfig(plainConfig());
    EXPECT_NE(direct.connect(USB, SERIAL), aErrNone);
}

// A second user with the default configuration finds the USB module served already and
// falls back to the link server that local discovery reports.
TEST_F(ApiUsbShared, SecondDefaultUserFallsBackToTheServer) {
    Module owner(2, 0);
    ASSERT_EQ(owner.connect(USB, SERIAL), aErrNone);
    Module second(2, 0);
    ASSERT_EQ(second.connect(USB, SERIAL), aErrNone);
    linkSpec spec;
    ASSERT_EQ(second.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(AWEAVE));
    EXPECT_EQ(spec.serialNumber, SERIAL);
    uint32_t serial = 0;
    EXPECT_EQ(readSerial(second, &serial), aErrNone);
    EXPECT_EQ(serial, SERIAL);
}

bool readAll(int fd, void* data, size_t size, std::chrono::milliseconds limit) {
    const testsupport::Bytes got = testsupport::readBytes(fd, size, limit);
    if (got.size() != size) return false;
    std::memcpy(data, got.data(), size);
    return true;
}

// The first process serves the module with the default configuration and keeps using
// it; this process connects over AWEAVE by the server's port. When the first process
// ends, this one's calls fail with a connection error within seconds.
TEST_F(ApiUsbShared, SecondProcessUsesTheModuleUntilTheFirstEnds) {
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(toParent[0]);
        close(toChild[1]);
        Module owner(2, 0);
        uint16_t port = 0;
        if (owner.connect(USB, SERIAL) == aErrNone) {
            aWeaveConfig config;
            owner.getConfig(&config);
            port = config.port;
        }
        if (write(toParent[1], &port, sizeof port) != sizeof port || port == 0) _exit(2);
        uint32_t failures = 0, reads = 0;
        struct pollfd quit = {toChild[0], POLLIN, 0};
        while (poll(&quit, 1, 0) == 0) {
            uint32_t serial = 0;
            if (readSerial(owner, &serial) != aErrNone || serial != SERIAL) ++failures;
            ++reads;
        }
        const uint32_t report[2] = {reads, failures};
        if (write(toParent[1], report, sizeof report) != sizeof report) _exit(3);
        // Ends without a word to its clients.
        _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);

    uint16_t port = 0;
    ASSERT_TRUE(readAll(toParent[0], &port, sizeof port, 30s));
    ASSERT_NE(port, 0);
    linkSpec spec{};
    spec.type = AWEAVE;
    spec.ipAddress = 0x0100007F;
    spec.port = port;
    Module client(2, 0);
    ASSERT_EQ(client.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(client.getModuleAddress(), 6);
    for (int i = 0; i < 20; ++i) {
        uint32_t serial = 0;
        ASSERT_EQ(readSerial(client, &serial), aErrNone) << "read " << i;
        EXPECT_EQ(serial, SERIAL);
    }

    ASSERT_EQ(write(toChild[1], "q", 1), 1);
    uint32_t report[2] = {};
    ASSERT_TRUE(readAll(toParent[0], report, sizeof report, 10s));
    EXPECT_GT(report[0], 0u);
    EXPECT_EQ(report[1], 0u) << "of " << report[0] << " reads in the serving process";
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const auto start = std::chrono::steady_clock::now();
    aErr result = aErrNone;
    while (std::chrono::steady_clock::now() - start < 20s && result != aErrConnection) {
        uint32_t serial = 0;
        result = readSerial(client, &serial);
    }
    EXPECT_EQ(result, aErrConnection);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_FALSE(client.isConnected());
    close(toParent[0]);
    close(toChild[1]);
}

}  // namespace

namespace {

// A program that ends with its shared Module still open (here a static one, destroyed
// after every exit handler) ends promptly and cleanly.
TEST_F(ApiUsbShared, ProcessEndsWithItsServerStillOpen) {
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Runs after every exit handler the library, CZMQ and the static Module set up,
        // and spares the child a leak check of the test bed it inherited.
        atexit([] { _exit(0); });
        static Module owner(2, 0);
        if (owner.connect(USB, SERIAL) != aErrNone) _exit(2);
        exit(0);
    }
    int status = 0;
    pid_t done = 0;
    testsupport::waitUntil([&] { return (done = waitpid(child, &status, WNOHANG)) != 0; }, 20s, 10ms);
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_EQ(done, child) << "still running after 20 s";
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

}  // namespace
