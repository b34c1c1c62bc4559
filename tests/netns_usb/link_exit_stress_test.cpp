// A process that ends while its links are busy: each case starts children of this
// program, one after the other; each child serves a module of its own emulated USB bus
// through a link server, opens client links to it and lets worker threads read through,
// reset, share, make and destroy client links at random, and then ends in the middle of
// that: by returning from main, by exit() on the main thread, or by exit() on a worker.
// Every child must end soon, with status 0 and no sanitizer or library assertion on its
// error output. STRESS_SEED replays the children, STRESS_SECONDS sets how long each
// case starts new ones, STRESS_OPS / STRESS_OPS_OFF pick the workers' operations
// (read, reset, destroy, create, share, status).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkServer.h"
#include "discover.h"
#include "modsim_process.h"
#include "stress_settings.h"
#include "tempdir.h"
#include "thread_stacks.h"
#include "usbbed.h"

using namespace std::chrono_literals;

namespace {

const char* const kChildFlag = "--exit-stress-child";
const uint32_t SERIAL = 0x00002704;
const char* const SERIAL_TEXT = "00002704";
const uint8_t ADDRESS = 6;
const std::vector<std::string> kChildOps = {"read", "reset", "destroy", "create", "share", "status"};

// ---- The child -------------------------------------------------------------------
// Everything the workers touch lives on the heap and is never freed: the process ends
// under them, and the test's own objects must not be what goes first.

constexpr std::size_t kPool = 8;
constexpr std::size_t kWorkers = 4;

struct ChildShared {
    uint32_t networkInterface = 0;
    uint16_t port = 0;
    std::atomic<aLinkRef> pool[kPool] = {};
    std::atomic<bool> exitNow{false};
    bool ops[6] = {};
};

struct Worker {
    ChildShared* shared = nullptr;
    std::mt19937_64 random;
    std::vector<aLinkRef> uses;
    bool callsExit = false;
};

// Held by plain pointers: nothing of them is destroyed at exit, and the leak check finds
// them reachable.
testsupport::ModsimProcess* gModule = nullptr;
UsbBed* gBed = nullptr;
ChildShared* gShared = nullptr;
Worker* gWorkers[kWorkers] = {};

int64_t pick(std::mt19937_64& random, int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
}

void readThrough(aLinkRef id) {
    const uint8_t none = 0;
    aPacket* probe = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    aLink_PutPacket(id, probe);
    aPacket_Destroy(&probe);
    aPacket* answer = aLink_AwaitPacket(id, 200);
    aPacket_Destroy(&answer);
}

void work(Worker* worker) {
    ChildShared& shared = *worker->shared;
    const auto end = std::chrono::steady_clock::now() + 60s;
    for (int step = 0; step < 1000000 && std::chrono::steady_clock::now() < end; ++step) {
        if (worker->callsExit && shared.exitNow) exit(0);
        const auto op = static_cast<std::size_t>(pick(worker->random, 0, 5));
        if (!shared.ops[op]) continue;
        const aLinkRef any = shared.pool[pick(worker->random, 0, kPool - 1)];
        switch (op) {
        case 0:
            readThrough(any);
            break;
        case 1:
            aLink_Reset(any);
            break;
        case 2:
            if (!worker->uses.empty()) {
                const auto at = static_cast<std::size_t>(pick(worker->random, 0, worker->uses.size() - 1));
                aLinkRef id = worker->uses[at];
                worker->uses.erase(worker->uses.begin() + static_cast<std::ptrdiff_t>(at));
                for (auto& slot : shared.pool) {
                    aLinkRef expected = id;
                    slot.compare_exchange_strong(expected, 0);
                }
                aLink_Destroy(&id);
            }
            break;
        case 3:
        case 4:
            // Sharing needs a link to share: a ref of 0 would ask for a new client of address 0.
            if (worker->uses.size() < 4 && (op == 3 || any != 0)) {
                const aLinkRef id = op == 3 ? aLink_CreateClient(shared.networkInterface, shared.port, 0)
                                            : aLink_CreateClient(0, 0, any);
                if (id) {
                    worker->uses.push_back(id);
                    shared.pool[pick(worker->random, 1, kPool - 1)] = id;
                }
            }
            break;
        default:
            aLink_GetStatus(any);
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pick(worker->random, 0, 3000)));
    }
}

bool listed() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        linkSpec* spec = aDiscovery_FindModule(USB, SERIAL, 0);
        if (spec) {
            aLinkSpec_Destroy(&spec);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// argv: flag, mode (return | exit | worker-exit), seed, directory, ops (comma list).
int runChild(int argc, char** argv) {
    if (argc < 6) return 90;
    const std::string mode = argv[2];
    std::mt19937_64 random(std::strtoull(argv[3], nullptr, 10));
    const std::string dir = argv[4];
    const std::string socketPath = dir + "/module.sock";
    gModule = new testsupport::ModsimProcess(dir, {"--unix", socketPath, "--serial", SERIAL_TEXT, "--model", "19",
                                                   "--address", std::to_string(ADDRESS), "--stream-ms", "5"});
    if (!gModule->ready()) return 91;
    gBed = usbbed_new();
    if (!gBed) return 92;
    printf("bed %s\n", usbbed_root_dir(gBed));
    fflush(stdout);
    UsbBedDeviceSpec spec{SERIAL_TEXT, 19, 0, 0, USBBED_LAYOUT_MODULE};
    UsbBedDevice* device = usbbed_add_device(gBed, &spec);
    if (!device || usbbed_device_bridge_unix(device, socketPath.c_str()) != 0) return 93;
    if (!listed()) return 94;

    gShared = new ChildShared;
    ChildShared* shared = gShared;
    for (std::size_t i = 0; i < kChildOps.size(); ++i)
        shared->ops[i] = (std::string(",") + argv[5] + ",").find("," + kChildOps[i] + ",") != std::string::npos;
    aLinkRef server = aLink_CreateServer(SERIAL, &shared->port, &shared->networkInterface, 1);
    if (!server) return 95;
    shared->pool[0] = server;
    for (std::size_t i = 0; i < kWorkers; ++i) {
        auto* worker = new Worker;
        worker->shared = shared;
        worker->random.seed(random());
        worker->callsExit = mode == "worker-exit" && i == 0;
        gWorkers[i] = worker;
    }
    for (std::size_t i = 1; i < kPool / 2; ++i) {
        const aLinkRef id = aLink_CreateClient(shared->networkInterface, shared->port, 0);
        if (!id) return 96;
        shared->pool[i] = id;
        gWorkers[i % kWorkers]->uses.push_back(id);
    }
    printf("serving on port %u; ending by %s\n", shared->port, mode.c_str());
    fflush(stdout);
    for (Worker* worker : gWorkers) std::thread(work, worker).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(pick(random, 50, 1000)));
    if (mode == "exit") exit(0);
    if (mode == "worker-exit") {
        shared->exitNow = true;
        std::this_thread::sleep_for(60s);
        return 97;
    }
    return 0;
}

// ---- The test ------------------------------------------------------------------

struct Ending {
    const char* name;
    const char* mode;
};

void PrintTo(const Ending& ending, std::ostream* out) {
    *out << ending.name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ownProgram() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "";
}

struct ChildResult {
    bool finished = false;
    int status = 0;
    std::string out;
    std::string err;
};

// Runs one child with its output in files of `dir`; a child still running after
// `limit` has every thread's stack printed, then is killed.
ChildResult runChildProcess(const std::vector<std::string>& args, const std::string& dir,
                            std::chrono::milliseconds limit) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string outPath = dir + "/child.out";
    const std::string errPath = dir + "/child.err";
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(98);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(99);
    }
    ChildResult result;
    if (child < 0) return result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    if (done == 0) {
        testsupport::printThreadStacks(child);
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    } else {
        result.finished = true;
        result.status = status;
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::string describeStatus(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

bool reportsAFault(const std::string& err) {
    for (const char* mark : {"Sanitizer", "runtime error", "Assertion", "assertion"})
        if (err.find(mark) != std::string::npos) return true;
    return false;
}

void removeBed(const std::string& out) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("bed /", 0) == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(line.substr(4), ignored);
        }
}

class LinkExitStress : public ::testing::TestWithParam<Ending> {};

TEST_P(LinkExitStress, EndsCleanlyWithLinksBusy) {
    const testsupport::StressSettings settings(4s, kChildOps);
    std::cout << "[ stress   ] " << settings.describe() << std::endl;
    std::string ops;
    for (const auto& op : settings.ops()) ops += (ops.empty() ? "" : ",") + op;
    std::mt19937_64 seeds = settings.generator(0);
    const auto end = std::chrono::steady_clock::now() + settings.duration();
    int children = 0;
    for (; children < 100 && (children < 2 || std::chrono::steady_clock::now() < end); ++children) {
        testsupport::TempDir dir;
        const std::string childSeed = std::to_string(seeds() % 1000000000ull);
        const ChildResult result =
            runChildProcess({ownProgram(), kChildFlag, GetParam().mode, childSeed, dir.path(), ops}, dir.path(), 45s);
        removeBed(result.out);
        const std::string what = std::string("child ") + std::to_string(children) + " (seed " + childSeed +
                                 ", ending by " + GetParam().mode + "); " + settings.describe();
        const std::string tail = result.err.size() > 6000 ? result.err.substr(result.err.size() - 6000) : result.err;
        if (!result.finished) {
            ADD_FAILURE() << what << " was still running after 45 s (stacks above)\n" << result.out << tail;
            break;
        }
        if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 0 || reportsAFault(result.err)) {
            ADD_FAILURE() << what << " ended with " << describeStatus(result.status) << "\n"
                          << result.out << tail;
            break;
        }
    }
    std::cout << "[ stress   ] " << children << " children ended" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Endings, LinkExitStress,
                         ::testing::Values(Ending{"ReturnFromMain", "return"}, Ending{"ExitOnTheMainThread", "exit"},
                                           Ending{"ExitOnAWorker", "worker-exit"}),
                         [](const ::testing::TestParamInfo<Ending>& tested) { return std::string(tested.param.name); });

}  // namespace

// A child of the test runs its part and ends as it was told to; otherwise the tests run.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kChildFlag) == 0) return runChild(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
