// The test bed's command line: a program run under `usbbed` reaches a module bridged
// to a Unix-domain socket and a module behind a kernel node; exit codes come back;
// the control socket answers. The program under test is this binary itself, started
// with USBBED_CLI_CHILD set.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "aStream.h"
#include "byte_io.h"
#include "process.h"
#include "tempdir.h"
#include "unix_streamusb.h"
#include "wait_until.h"

namespace {

const uint32_t BRIDGED_SERIAL = 0x0000C11E;
const uint32_t NODE_SERIAL = 0x0000C0DE;

int runChild() {
    aStreamRef stream = nullptr;
    if (aStream_CreateUSB(BRIDGED_SERIAL, &stream) != aErrNone) return 10;
    if (aStream_Write(stream, "ping", 4) != aErrNone) return 11;
    char reply[4];
    aErr err = aErrNotReady;
    for (int i = 0; i < 5 && err == aErrNotReady; ++i) err = aStream_Read(stream, reply, sizeof reply);
    if (err != aErrNone || std::string(reply, 4) != "PONG") return 12;
    aStream_Destroy(&stream);
    if (aStream_CreateUSB(NODE_SERIAL, &stream) != aErrNone) return 13;
    if (aStream_Write(stream, "node", 4) != aErrNone) return 14;
    aStream_Destroy(&stream);
    return 0;
}

// Runs before the test framework when this binary is the program under the bed.
const int kChildRole = [] {
    if (getenv("USBBED_CLI_CHILD")) std::_Exit(runChild());
    return 0;
}();

std::string usbbedPath() {
    return testsupport::requiredEnv("TOOLS_BIN_DIR") + "/usbbed/usbbed";
}

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

int listenUnix(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) return -1;
    return fd;
}

std::string readSome(int fd, size_t n, int timeoutMs) {
    const testsupport::Bytes got = testsupport::readBytes(fd, n, std::chrono::milliseconds(timeoutMs));
    return std::string(got.begin(), got.end());
}

std::string ask(int fd, const std::string& line) {
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    std::string answer;
    const auto start = std::chrono::steady_clock::now();
    while (testsupport::msSince(start) < 3000) {
        const testsupport::Bytes c =
            testsupport::readBytes(fd, 1, std::chrono::milliseconds(3000 - testsupport::msSince(start)));
        if (c.empty() || c[0] == '\n') break;
        answer += static_cast<char>(c[0]);
    }
    return answer;
}

}  // namespace

TEST(UsbBedCli, ProgramReachesABridgedModuleAndANode) {
    testsupport::TempDir dir;
    const std::string socketPath = dir.file("module.sock");
    const int listener = listenUnix(socketPath);
    ASSERT_GE(listener, 0);
    std::atomic<bool> answered{false};
    std::thread module([&] {
        struct timeval wait = {10, 0};
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const int host = accept(listener, nullptr, nullptr);
        if (host < 0) return;
        setsockopt(host, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (readSome(host, 4, 10000) == "ping") answered = write(host, "PONG", 4) == 4;
        close(host);
    });

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    const auto result = testsupport::runProcess(
        {usbbedPath(), "--device", "serial=0000C11E,model=19,fault=out:stall:1,bridge=unix:" + socketPath, "--node",
         "serial=0000C0DE,path=" + slave, "--", selfPath()},
        std::chrono::seconds(30), {"USBBED_CLI_CHILD=1"});
    module.join();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(answered);
    EXPECT_EQ(readSome(master, 4, 1000), "node");
    close(master);
    close(listener);
}

TEST(UsbBedCli, ReturnsTheProgramsExitCodeAndRefusesBadDevices) {
    EXPECT_EQ(testsupport::runProcess({usbbedPath(), "--", "/bin/sh", "-c", "exit 7"}).exitCode, 7);
    const auto bad = testsupport::runProcess({usbbedPath(), "--device", "model=19", "--", "/bin/true"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("serial="), std::string::npos) << bad.err;
}

TEST(UsbBedCli, ControlSocketAnswersCommands) {
    testsupport::TempDir dir;
    const std::string control = dir.file("control.sock");
    testsupport::BackgroundProcess bed({usbbedPath(), "--device", "serial=0000C0C0,model=5", "--control", control});
    std::string line;
    ASSERT_TRUE(bed.readLine(line));
    EXPECT_EQ(line.rfind("UMOCKDEV_DIR=", 0), 0u) << line;
    const int fd = testsupport::connectUnix(control);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, "stats 0000C0C0\n"), "ok out=0 in=0 halts=0 claims=0 opens=0 bytes-out=0 bytes-in=0");
    EXPECT_EQ(ask(fd, "fault 0000C0C0 out timeout 2 10\n"), "ok");
    EXPECT_EQ(ask(fd, "fault 0000C0C0 sideways io\n").rfind("error", 0), 0u);
    EXPECT_EQ(ask(fd, "add serial=0000C0C1,model=6\n"), "ok");
    EXPECT_EQ(ask(fd, "unplug 0000C0C1\n"), "ok");
    EXPECT_EQ(ask(fd, "unplug 0000FFFF\n"), "error no device 0000FFFF");
    close(fd);
    EXPECT_EQ(bed.stop(), 0);
}
