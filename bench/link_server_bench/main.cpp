// A system-entity get round trip through the link server against the same get over a
// direct USB link, one run, one emulated USB module bridged to the simulated module.
// The server announces itself by local multicast and the module sits on umockdev's
// emulated bus, so the program runs itself again inside a private network namespace
// under umockdev's preload. Before that, eight clients with connections of their own
// read through one server at once, LINK_SERVER_BENCH_LOAD reads each (40000 unless set,
// 0 skips it); the run fails if any read is lost or answered wrongly.
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libgen.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <atomic>
#include <chrono>
#include <thread>

#include "Module.h"
#include "aLink.h"
#include "aLinkServer.h"
#include "SystemClass.h"
#include "usbbed.h"

using Clock = std::chrono::steady_clock;
using namespace Veltrane::Corvalith;

namespace {

const int ROUND_TRIPS = 1000;
const int WARM_UP = 50;
const uint32_t SERIAL = 0x00005B4C;
const char* const SERIAL_TEXT = "00005B4C";
const char* const INSIDE = "LINK_SERVER_BENCH_INSIDE";

std::string buildDir() {
    char exe[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return {};
    return std::string(dirname(exe)) + "/../..";
}

// The simulated module on a Unix socket; its ready line tells it listens.
pid_t startModsim(const std::string& socketPath) {
    int out[2];
    if (pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        const std::string binary = buildDir() + "/tools/modsim/modsim";
        execl(binary.c_str(), binary.c_str(), "--unix", socketPath.c_str(), "--serial", SERIAL_TEXT, "--model", "19",
              "--address", "2", "--stream-ms", "0", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char line[256] = {};
    size_t used = 0;
    while (used + 1 < sizeof line && read(out[0], line + used, 1) == 1 && line[used] != '\n') ++used;
    close(out[0]);
    if (strncmp(line, "ready unix", 10) != 0) {
        fprintf(stderr, "modsim did not start: %s\n", line);
        return -1;
    }
    return pid;
}

// Median microseconds of a model get on an open module; 0 on any failure.
double medianGet(Module& module) {
    SystemClass system;
    system.init(&module, 0);
    std::vector<double> samples;
    for (int i = 0; i < WARM_UP + ROUND_TRIPS; ++i) {
        uint8_t model = 0;
        const auto start = Clock::now();
        if (system.getModel(&model) != aErrNone || model != 19) return 0;
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (i >= WARM_UP) samples.push_back(us);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Eight clients of their own, each a separate connection to the server, read a value
// as fast as the module answers; every read must get its own answer.
int load(int perClient) {
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    aLinkRef owner = aLink_CreateServer(SERIAL, &port, &networkInterface, 1);
    if (!owner) return 1;
    const int clients = 8;
    std::atomic<long> lost{0}, wrong{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            aLinkRef link = aLink_CreateClient(0x0100007Fu, port, 0);
            if (!link) {
                lost += perClient;
                return;
            }
            const uint8_t get[] = {0x10, 0x41, 0x00};
            for (int i = 0; i < perClient; ++i) {
                aPacket* request = aPacket_CreateWithData(2, sizeof get, get);
                aLink_PutPacket(link, request);
                aPacket_Destroy(&request);
                aPacket* reply = aLink_AwaitFirst(
                    link, [](const aPacket* p, const void*) -> uint8_t { return p->address == 2; }, nullptr, 3000);
                if (!reply)
                    ++lost;
                else if (reply->dataSize != 4 || reply->data[3] != 0x11)
                    ++wrong;
                aPacket_Destroy(&reply);
            }
            aLink_Destroy(&link);
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    aLink_Destroy(&owner);
    printf("%d clients x %d gets through the link server: %.1f s, %ld lost, %ld wrong\n", clients, perClient, seconds,
           lost.load(), wrong.load());
    return lost == 0 && wrong == 0 ? 0 : 1;
}

int measure() {
    char dirTemplate[] = "/tmp/link_server_bench.XXXXXX";
    if (!mkdtemp(dirTemplate)) return 1;
    const std::string socketPath = std::string(dirTemplate) + "/module.sock";
    const pid_t sim = startModsim(socketPath);
    if (sim < 0) return 1;
    UsbBed* bed = usbbed_new();
    UsbBedDeviceSpec spec{SERIAL_TEXT, 19, 0, 0, USBBED_LAYOUT_MODULE};
    UsbBedDevice* device = bed ? usbbed_add_device(bed, &spec) : nullptr;
    int result = 1;
    if (device && usbbed_device_bridge_unix(device, socketPath.c_str()) == 0) {
        double direct = 0, served = 0;
        {
            Module module(2, 0);
            aWeaveConfig plain;
            plain.enabled = 0;
            plain.fallback = 0;
            module.setConfig(plain);
            if (module.connect(USB, SERIAL) == aErrNone) direct = medianGet(module);
        }
        {
            Module module(2, 0);  // the default configuration: through a link server
            if (module.connect(USB, SERIAL) == aErrNone) served = medianGet(module);
        }
        const char* loadGets = getenv("LINK_SERVER_BENCH_LOAD");
        const int perClient = loadGets ? atoi(loadGets) : 40000;
        const int loaded = perClient > 0 ? load(perClient) : 0;
        printf("model get round trip, median of %d:\n", ROUND_TRIPS);
        printf("  direct USB link:        %8.1f us\n", direct);
        printf("  through the link server: %7.1f us\n", served);
        if (direct > 0 && served > 0) {
            printf("  ratio %.2f (goal at most 1.3)\n", served / direct);
            result = loaded;
        } else {
            printf("  a measurement failed\n");
        }
    }
    if (bed) usbbed_free(bed);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unlink(socketPath.c_str());
    rmdir(dirTemplate);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    (void)argc;
    if (!getenv(INSIDE)) {
        setenv(INSIDE, "1", 1);
        const std::string netnsRun = std::string(BENCH_SOURCE_DIR) + "/tools/netns/netns-run";
        char wrapper[] = "umockdev-wrapper";
        std::vector<char*> args{const_cast<char*>(netnsRun.c_str()), wrapper, argv[0], nullptr};
        execv(netnsRun.c_str(), args.data());
        perror("netns-run");
        return 1;
    }
    return measure();
}
