// Measures the link path against raw socket round trips with the same simulated
// module: a system-entity get (P1), a whole firmware update over TCP (P2), the CPU
// an idle open link costs (P3), `-D` on the emulated USB bus against an empty bus
// (D1, D4), and small updates over TCP and USB with their timelines and CPU (U1,
// U2; U3 to a USB module that stays listed while it restarts in place). Runs inside a private network namespace,
// because the TCP update finds its module by multicast discovery.
#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Module.h"
#include "aDefs.h"
#include "Simulator.h"
#include "SystemClass.h"
#include "Timing.h"
#include "UpdateTimeline.h"
#include "UsbRuns.h"

using Clock = std::chrono::steady_clock;
using namespace Veltrane::Corvalith;

namespace {

const int ROUND_TRIPS = 2000;
const int WARM_UP = 100;
const int ROUNDS = 20;
const uint8_t MODULE_ADDRESS = 2;
const char* const SIM_ADDRESS = "127.0.0.2";
const char* const UPDATE_SIM_ADDRESS = "127.0.0.3";
const char* const SIM_SERIAL = "0000BE4C";
const char* const UPDATE_SIM_SERIAL = "0000BE4D";
const int MODEL = 19;
const size_t FIRMWARE_BYTES = 256 * 1024;
const size_t SMALL_FIRMWARE_BYTES = 4 * 1024;
const char* const USB_UPDATE_SERIAL = "0000BE4E";
// The system entity's get of its model: command 3, option 8 with the get flag, index 0.
const uint8_t MODEL_GET[] = {MODULE_ADDRESS, 3, 0x03, 0x48, 0x20};
const size_t MODEL_REPLY = 6;

struct Paths {
    std::string build;
    std::string source;
    std::string modsim() const { return build + "/tools/modsim/modsim"; }
    std::string updater() const { return build + "/updater/updater"; }
    std::string self;
    std::string netnsRun() const { return source + "/tools/netns/netns-run"; }
    std::string trelBuilder() const { return source + "/tools/trel_builder/trel_builder.py"; }
};

Paths findPaths() {
    char exe[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return {};
    const std::string self = exe;
    std::string dir = dirname(exe);
    return {dir + "/../..", BENCH_SOURCE_DIR, self};
}

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

uint32_t ipv4(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// Blocking reads sleep between packets; polling reads never give up the CPU, so
// the wake-up latency of an idle core does not count against the raw figure.
enum class RawRead { Blocking, Polling };

bool readExactly(int fd, uint8_t* buffer, size_t count, RawRead mode) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = recv(fd, buffer + got, count - got, mode == RawRead::Polling ? MSG_DONTWAIT : 0);
        if (n < 0 && mode == RawRead::Polling && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// The median of the timed round trips: one late wake-up of a busy machine should
// not move the figure.
double medianUs(std::vector<double>& samples) {
    if (samples.empty()) return -1;
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

// A TCP connection to the simulated module for raw round trips; -1 on failure.
int rawConnect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = ipv4(SIM_ADDRESS);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Round trips of the model get written straight to the socket, appended to samples.
bool rawRoundTrips(int fd, RawRead mode, int count, std::vector<double>& samples) {
    uint8_t reply[MODEL_REPLY];
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (write(fd, MODEL_GET, sizeof MODEL_GET) != static_cast<ssize_t>(sizeof MODEL_GET) ||
            !readExactly(fd, reply, sizeof reply, mode))
            return false;
        samples.push_back(microseconds(Clock::now() - start));
    }
    return true;
}

linkSpec tcpSpec(uint16_t port) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = static_cast<uint32_t>(strtoul(SIM_SERIAL, nullptr, 16));
    spec.moduleAddress = MODULE_ADDRESS;
    spec.model = MODEL;
    spec.ipAddress = ipv4(SIM_ADDRESS);
    spec.port = port;
    return spec;
}

// Round trips of the same get through Module and SystemClass, appended to samples.
bool linkRoundTrips(SystemClass& system, int count, std::vector<double>& samples) {
    uint8_t model = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (system.getModel(&model) != aErrNone) return false;
        samples.push_back(microseconds(Clock::now() - start));
    }
    return true;
}

int run(const std::vector<std::string>& argv) {
    return runTimed(argv).exitCode;
}

struct UpdateFigures {
    std::string events;
    double wallSeconds = -1;
    double windowSeconds = -1;
    size_t roundTrips = 0;
    ChildTimes times;
    UpdateTimeline timeline;
};

bool isHostLoaderPacket(const std::string& line) {
    // "rx AA LL 5F ...": a loader request from the host, answered once.
    return line.rfind("rx ", 0) == 0 && line.size() >= 12 && line.compare(9, 2, "5F") == 0;
}

// A firmware file of `bytes` random bytes for the module `serial`; empty on failure.
std::string buildFirmware(const Paths& paths, const std::string& work, size_t bytes, const std::string& serial) {
    const std::string image = work + "/firmware-" + std::to_string(bytes) + ".bin";
    {
        std::mt19937 random(7);
        std::ofstream out(image, std::ios::binary);
        for (size_t i = 0; i < bytes; ++i) out.put(static_cast<char>(random() & 0xFF));
    }
    const std::string trel = work + "/bench-" + std::to_string(bytes) + "-" + serial + ".trel";
    if (run({"/usr/bin/python3", paths.trelBuilder(), "--out", trel, "--loader-block", "0x10000000:zeros=2048",
             "--firmware-block", "0x4000:@" + image, "--info", "3001", "2.1.0", serial, aDefs_GetModelName(MODEL)}) !=
        0)
        return "";
    return trel;
}

// `loadWay` is the simulated module's way of restarting into its loader (modsim --load-way).
UpdateFigures measureUpdate(const Paths& paths, const std::string& work, size_t bytes, const char* loadWay) {
    UpdateFigures figures;
    const std::string trel = buildFirmware(paths, work, bytes, UPDATE_SIM_SERIAL);
    if (trel.empty()) return figures;
    Simulator sim(paths.modsim(),
                  {"--tcp", std::string(UPDATE_SIM_ADDRESS) + ":0", "--discovery", "--serial", UPDATE_SIM_SERIAL,
                   "--model", std::to_string(MODEL), "--address", "2", "--load-way", loadWay});
    if (!sim.ready()) return figures;
    const auto start = Clock::now();
    figures.times = runTimed(
        {paths.updater(), "-i", work, "-u", "http://127.0.0.1:1/cgi/u", "-U", "-d", UPDATE_SIM_SERIAL, "-f", trel});
    const auto end = Clock::now();
    figures.wallSeconds = std::chrono::duration<double>(end - start).count();
    if (figures.times.exitCode != 0) {
        std::fprintf(stderr, "link_bench: the update failed with exit code %d\n", figures.times.exitCode);
        figures.wallSeconds = -1;
        return figures;
    }
    figures.timeline = readTimeline(sim.log(), start, end);
    figures.events = eventLines(sim.log(), start);
    // The firmware transfer window: from the first firmware PREPARE to the last
    // WRITE, which holds no fixed wait of the protocol.
    const auto lines = sim.log();
    size_t first = lines.size();
    size_t last = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (first == lines.size() && lines[i].text.find("prepare firmware") != std::string::npos) first = i;
        if (lines[i].text.find("ev loader") == 0 && lines[i].text.find(" write ") != std::string::npos) last = i;
    }
    if (first >= last) return figures;
    for (size_t i = first; i <= last; ++i)
        if (isHostLoaderPacket(lines[i].text)) ++figures.roundTrips;
    figures.windowSeconds = std::chrono::duration<double>(lines[last].at - lines[first].at).count();
    return figures;
}

}  // namespace

// The modules of the U figures confirm their loader's start once the host is back (modsim
// --load-way announce). A loader that confirms it only after the host's first query on a
// new link (--load-way reconnect) is silent over TCP, whose stream reconnects in place
// without a new sync: that costs the host the protocol's fixed 1000 ms wait for the
// confirmation, printed apart as "silent loader" with that wait taken out of the overhead
// compared with the goal. Over USB the new link's sync is that first query.
const double SILENT_LOADER_WAIT_S = 1.0;

void printUpdate(const char* name, const char* transport, const ChildTimes& times, const UpdateTimeline& timeline,
                 const std::string& events, bool silentLoader = false, const char* loader = nullptr) {
    if (getenv("LINK_BENCH_EVENTS")) std::printf("%s module events:\n%s", name, events.c_str());
    if (times.exitCode != 0 || !timeline.complete()) {
        std::printf("%s -U of a %zu KiB image over %s: no figure (exit code %d)\n", name, SMALL_FIRMWARE_BYTES / 1024,
                    transport, times.exitCode);
        return;
    }
    const double cpu = times.userSeconds + times.systemSeconds;
    const double overhead = times.wallSeconds - timeline.awaySeconds;
    if (silentLoader) {
        std::printf(
            "%s -U of a %zu KiB image over %s, silent loader: %.2f s, module away %.2f s, overhead %.2f s, "
            "%.2f s without the protocol's %.0f ms wait for the start confirmation (goal <= 1 s)\n",
            name, SMALL_FIRMWARE_BYTES / 1024, transport, times.wallSeconds, timeline.awaySeconds, overhead,
            overhead - SILENT_LOADER_WAIT_S, SILENT_LOADER_WAIT_S * 1000);
    } else {
        std::printf(
            "%s -U of a %zu KiB image over %s%s%s: %.2f s, module away %.2f s, overhead %.2f s (goal <= 1 s); "
            "CPU %.2f s user+sys, %.2f of one core (goal <= 1)\n",
            name, SMALL_FIRMWARE_BYTES / 1024, transport, loader ? ", " : "", loader ? loader : "", times.wallSeconds,
            timeline.awaySeconds, overhead, cpu, cpu / times.wallSeconds);
    }
    std::printf("   timeline: %s\n", timeline.text().c_str());
}

// How long the module of the U3 figures refuses transfers while it restarts in place, and
// what the loader protocol itself may add to that: one 500 ms spacing of reconnect attempts.
const int IN_PLACE_RESTART_MS = 1200;
const size_t IN_PLACE_FIRMWARE_BYTES = 400;
const double RECONNECT_SPACING_S = 0.5;
const double IN_PLACE_ALLOWANCE_S = 0.5;

void printInPlaceUpdate(const char* loader, const UsbUpdate& update) {
    if (getenv("LINK_BENCH_EVENTS")) std::printf("U3 module events:\n%s", update.events.c_str());
    if (update.times.exitCode != 0 || !update.timeline.complete()) {
        std::printf("U3 -U of a %zu-byte image over USB, module restarting in place, %s: no figure (exit code %d)\n",
                    IN_PLACE_FIRMWARE_BYTES, loader, update.times.exitCode);
        return;
    }
    const double overhead = update.times.wallSeconds - update.timeline.awaySeconds;
    std::printf(
        "U3 -U of a %zu-byte image over USB, module listed but refusing transfers while it restarts in place, %s: "
        "%.2f s, module away %.2f s, overhead %.2f s (goal <= %.1f s: the %.0f ms reconnect spacing and %.1f s)\n",
        IN_PLACE_FIRMWARE_BYTES, loader, update.times.wallSeconds, update.timeline.awaySeconds, overhead,
        RECONNECT_SPACING_S + IN_PLACE_ALLOWANCE_S, RECONNECT_SPACING_S * 1000, IN_PLACE_ALLOWANCE_S);
    std::printf("   timeline: %s\n", update.timeline.text().c_str());
}

void measureUsb(const Paths& paths, const std::string& work) {
    BenchPaths bench{paths.build, paths.source, paths.self};
    const ChildTimes empty = discoverUsb(bench, work, 0);
    const ChildTimes one = discoverUsb(bench, work, 1);
    const ChildTimes four = discoverUsb(bench, work, 4);
    if (empty.exitCode != 0 || one.exitCode != 0 || four.exitCode != 0) {
        std::printf("D -D on the emulated USB bus: no figure (exit codes %d, %d, %d)\n", empty.exitCode, one.exitCode,
                    four.exitCode);
    } else {
        std::printf("D1 -D -t USB, one module: %.3f s (goal <= 0.3 s; empty bus %.3f s)\n", one.wallSeconds,
                    empty.wallSeconds);
        std::printf("D4 -D -t USB, four modules: %.3f s (goal <= 0.6 s; empty bus %.3f s)\n", four.wallSeconds,
                    empty.wallSeconds);
    }
    const double idle = idleUsbLink(bench, work, 5.0);
    std::printf("P4 idle open USB link on the emulated bus: %.3f %% of one core over 5 s (goal <= 1 %%)\n", idle);
    const std::string trel = buildFirmware(paths, work, SMALL_FIRMWARE_BYTES, USB_UPDATE_SERIAL);
    const UsbUpdate update = updateUsb(bench, work, trel, USB_UPDATE_SERIAL, MODEL, "announce");
    printUpdate("U2", "USB", update.times, update.timeline, update.events);
    const UsbUpdate silent = updateUsb(bench, work, trel, USB_UPDATE_SERIAL, MODEL, "reconnect");
    printUpdate("U2", "USB", silent.times, silent.timeline, silent.events, false,
                "loader confirming after the host's first query");
    // A module that stays listed while it restarts into its loader: the reconnection may
    // cost the loader protocol's spacing of attempts once, and nothing else may wait.
    const struct {
        const char* loadWay;
        const char* loader;
    } inPlace[] = {{"reconnect", "loader confirming after the host's first query"},
                   {"announce", "loader confirming at once"}};
    const std::string small = buildFirmware(paths, work, IN_PLACE_FIRMWARE_BYTES, USB_UPDATE_SERIAL);
    for (const auto& run : inPlace) {
        printInPlaceUpdate(run.loader,
                           updateUsb(bench, work, small, USB_UPDATE_SERIAL, MODEL, run.loadWay, IN_PLACE_RESTART_MS));
    }
}

void measureLink(const Paths& paths, const std::string& work);

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--idle-usb-child")
        return idleUsbChild(argv[2], static_cast<uint32_t>(strtoul(argv[3], nullptr, 16)), atof(argv[4]));
    if (argc >= 4 && std::string(argv[1]) == "--time-child")
        return timeChild(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    const Paths paths = findPaths();
    if (!getenv("LINK_BENCH_IN_NAMESPACE")) {
        setenv("LINK_BENCH_IN_NAMESPACE", "1", 1);
        std::vector<char*> args{const_cast<char*>(paths.netnsRun().c_str()), argv[0]};
        args.push_back(nullptr);
        const std::string runner = paths.netnsRun();
        execv(runner.c_str(), args.data());
        std::perror("link_bench: cannot start the network namespace");
        return 1;
    }
    char work[] = "/tmp/link-bench-XXXXXX";
    if (!mkdtemp(work)) return 1;
    // LINK_BENCH_ONLY=updates measures only the small updates and -D on USB (quicker to
    // repeat while looking at one figure).
    const char* only = getenv("LINK_BENCH_ONLY");
    if (!only || std::string(only) != "updates") measureLink(paths, work);
    const UpdateFigures small = measureUpdate(paths, work, SMALL_FIRMWARE_BYTES, "announce");
    printUpdate("U1", "TCP", small.times, small.timeline, small.events);
    const UpdateFigures silent = measureUpdate(paths, work, SMALL_FIRMWARE_BYTES, "reconnect");
    printUpdate("U1", "TCP", silent.times, silent.timeline, silent.events, true);
    measureUsb(paths, work);
    std::string cleanup = std::string("rm -rf ") + work;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}

// P1, P3 and P2, which share the raw round trip.
void measureLink(const Paths& paths, const std::string& work) {
    Simulator sim(paths.modsim(), {"--tcp", std::string(SIM_ADDRESS) + ":0", "--serial", SIM_SERIAL, "--model",
                                   std::to_string(MODEL), "--address", std::to_string(MODULE_ADDRESS)});
    // A second, equal module for the raw socket: a module takes one connection at a time.
    Simulator rawSim(paths.modsim(), {"--tcp", std::string(SIM_ADDRESS) + ":0", "--serial", SIM_SERIAL, "--model",
                                      std::to_string(MODEL), "--address", std::to_string(MODULE_ADDRESS)});
    if (!sim.ready() || !rawSim.ready()) {
        std::fprintf(stderr, "link_bench: the simulated module did not start\n");
        return;
    }
    Module module(MODULE_ADDRESS, static_cast<uint8_t>(MODEL));
    aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    module.setConfig(config);
    const int fd = rawConnect(rawSim.port());
    if (fd < 0 || module.connectFromSpec(tcpSpec(sim.port())) != aErrNone) {
        std::fprintf(stderr, "link_bench: cannot connect to the simulated module\n");
        if (fd >= 0) close(fd);
        return;
    }
    SystemClass system;
    system.init(&module, 0);
    // The three kinds take turns in short rounds, so a change in the machine's load
    // falls on all of them alike.
    std::vector<double> warmUp, blockingSamples, pollingSamples, linkSamples;
    bool ok = rawRoundTrips(fd, RawRead::Polling, WARM_UP, warmUp) && linkRoundTrips(system, WARM_UP, warmUp);
    for (int round = 0; ok && round < ROUNDS; ++round) {
        ok = rawRoundTrips(fd, RawRead::Blocking, ROUND_TRIPS / ROUNDS, blockingSamples) &&
             rawRoundTrips(fd, RawRead::Polling, ROUND_TRIPS / ROUNDS, pollingSamples) &&
             linkRoundTrips(system, ROUND_TRIPS / ROUNDS, linkSamples);
    }
    close(fd);
    if (!ok) {
        std::fprintf(stderr, "link_bench: a round trip failed\n");
        return;
    }
    const double rawBlocking = medianUs(blockingSamples);
    const double rawPolling = medianUs(pollingSamples);
    // The faster of the two raw figures is the bar.
    const double raw = std::min(rawBlocking, rawPolling);
    const double linked = medianUs(linkSamples);
    std::printf(
        "P1 system-entity get round trip (median): link %.1f us, raw socket %.1f us (blocking reads %.1f us, "
        "polling reads %.1f us), ratio %.2f (goal <= 1.5)\n",
        linked, raw, rawBlocking, rawPolling, linked / raw);

    const double idleSeconds = 5.0;
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double idleShare = (processCpuSeconds() - cpuBefore) / idleSeconds * 100.0;
    std::printf("P3 idle open link: %.3f %% of one core over %.0f s (goal <= 1 %%)\n", idleShare, idleSeconds);
    module.disconnect();

    const UpdateFigures update = measureUpdate(paths, work, FIRMWARE_BYTES, "announce");
    if (update.windowSeconds > 0 && update.roundTrips > 0) {
        const double expected = static_cast<double>(update.roundTrips) * raw / 1e6;
        const double cpu = update.times.userSeconds + update.times.systemSeconds;
        std::printf(
            "P2 -U of a %zu KiB image over TCP: %.2f s in all; firmware transfer %.3f s for %zu round trips, "
            "%.3f s at the raw round trip, ratio %.2f (goal <= 1.5); CPU %.2f of one core (goal <= 1)\n",
            FIRMWARE_BYTES / 1024, update.wallSeconds, update.windowSeconds, update.roundTrips, expected,
            update.windowSeconds / expected, cpu / update.times.wallSeconds);
    } else {
        std::printf("P2 -U over TCP: no figure (the update did not complete)\n");
    }
}
