// A randomized test of the link server's request path. A simulated module on the
// emulated USB bus answers in order with random delays (some past a client's 1000 ms
// wait, some past the server's 2000 ms), loses some replies, sends byte strings in
// several chunks and refuses some stream enables (modsim --random-replies). Raw ZeroMQ
// clients written apart from the library (tests/peers/random_client.py) and the
// library's own client links send random gets, sets, multi-chunk writes, bursts, echoes,
// stream enables and disables; some are killed or destroyed on the way, and one, a
// subscriber on a second network namespace, loses its network without a FIN. Each
// client keeps at most a dozen requests at the server (one big burst aside), counting a
// request until it or a later one of its own is answered, so what the module has to
// work through stays bounded however late it answers.
//
// It checks that every frame a client gets is non-empty and is either a reply to one of
// its own requests or a batch while it wants a stream value the module did not refuse;
// that every request of a client that lives to the end reaches the module or is
// refused with an answer (none is lost); and that the module streams only what some
// client still wants, within a grace after the last one stops or vanishes.
//
// Seeded: the seed is printed; environment variables replay or vary a run:
//   LINKSERVER_STRESS_SEED     the seed (default: from the clock)
//   LINKSERVER_STRESS_SECONDS  how long the clients work (default 30)
//   LINKSERVER_STRESS_RAW      raw clients that live to the end (default 4)
//   LINKSERVER_STRESS_LIBRARY  library client links that live to the end (default 3)
//   LINKSERVER_STRESS_VANISH   clients killed or destroyed on the way (default 6)
//   LINKSERVER_STRESS_CUT      1: a subscriber that loses its network (default 1)
//   LINKSERVER_STRESS_MODULE   the module's random replies (modsim's spec, without seed)
//   LINKSERVER_STRESS_OPS      the clients' operation weights (random_client.py --ops)
//   LINKSERVER_STRESS_BURST    size of one big burst of gets per client kind (0: none)
//   LINKSERVER_STRESS_GRACE    seconds a module may stream a value nobody wants (default 15)
// Each of the module's fates and each kind of client can be switched off this way, to
// see one fault alone. By hand, from the source directory (one command line):
//   LINKSERVER_STRESS_SEED=7 tools/netns/netns-run umockdev-wrapper env SOURCE_DIR=$PWD
//       TOOLS_BIN_DIR=$PWD/build/tools ASAN_OPTIONS=verify_asan_link_order=0
//       build/tests/linkserver_request_path_stress_test
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "aLink.h"
#include "aLinkServer.h"
#include "hang_guard.h"
#include "module_on_bus.h"
#include "request_path_cut_network.h"
#include "request_path_library_client.h"
#include "request_path_module_watch.h"
#include "request_path_traffic.h"
#include "running_process.h"
#include "wait_until.h"

using namespace std::chrono_literals;
using namespace requestpath;

namespace {

const char* const SERIAL_TEXT = "00005E5A";
const uint32_t SERIAL = 0x00005E5A;
const uint8_t MODEL = 19;
const std::vector<uint8_t> SHARED_STREAMS = {1, 2, 3, 6, 7};
const uint8_t CUT_STREAM = 8;

std::string environment(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

struct Settings {
    uint64_t seed = 0;
    double seconds = 30;
    int raw = 4;
    int library = 3;
    int vanishing = 6;
    bool cut = true;
    std::string module = "jitter=5,slow=1,late=1,drop=1,late-long=10,refuse=25";
    std::string operations = "get=25,set=15,bytes-set=10,bytes-get=14,echo=14,burst=4,stream=18";
    int bigBurst = 300;
    double grace = 15;

    static Settings fromEnvironment() {
        Settings s;
        const std::string seed = environment("LINKSERVER_STRESS_SEED", "");
        s.seed = seed.empty() ? static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) %
                                    1000000007ull
                              : std::strtoull(seed.c_str(), nullptr, 10);
        s.seconds = std::atof(environment("LINKSERVER_STRESS_SECONDS", "30").c_str());
        s.raw = std::atoi(environment("LINKSERVER_STRESS_RAW", "4").c_str());
        s.library = std::atoi(environment("LINKSERVER_STRESS_LIBRARY", "3").c_str());
        s.vanishing = std::atoi(environment("LINKSERVER_STRESS_VANISH", "6").c_str());
        s.cut = environment("LINKSERVER_STRESS_CUT", "1") != "0";
        s.module = environment("LINKSERVER_STRESS_MODULE", s.module);
        s.operations = environment("LINKSERVER_STRESS_OPS", s.operations);
        s.bigBurst = std::atoi(environment("LINKSERVER_STRESS_BURST", "300").c_str());
        s.grace = std::atof(environment("LINKSERVER_STRESS_GRACE", "15").c_str());
        return s;
    }
    std::string replay() const {
        std::ostringstream text;
        text << "LINKSERVER_STRESS_SEED=" << seed << " LINKSERVER_STRESS_SECONDS=" << seconds
             << " LINKSERVER_STRESS_RAW=" << raw << " LINKSERVER_STRESS_LIBRARY=" << library
             << " LINKSERVER_STRESS_VANISH=" << vanishing << " LINKSERVER_STRESS_CUT=" << (cut ? 1 : 0)
             << " LINKSERVER_STRESS_MODULE=" << module << " LINKSERVER_STRESS_OPS=" << operations
             << " LINKSERVER_STRESS_BURST=" << bigBurst << " LINKSERVER_STRESS_GRACE=" << grace;
        return text.str();
    }
};

std::string joined(const std::vector<uint8_t>& options) {
    std::string text;
    for (uint8_t option : options) text += (text.empty() ? "" : ",") + std::to_string(option);
    return text;
}

std::string dotted(uint32_t networkOrder) {
    in_addr address{};
    address.s_addr = networkOrder;
    return inet_ntoa(address);
}

// A raw ZeroMQ client: tests/peers/random_client.py in a process of its own.
class RawClient {
public:
    RawClient(const std::vector<std::string>& argv, int tag, bool wellBehaved)
        : process_(argv), tag_(tag), wellBehaved_(wellBehaved) {}
    std::string name() const { return "raw client " + std::to_string(tag_); }
    pid_t pid() const { return process_.pid(); }
    void vanish(int signal) {
        vanishedAt_ = monotonicSeconds();
        process_.signal(signal);
    }
    void markVanished(double at) { vanishedAt_ = at; }
    // Collects what it printed; its wants go to `wants`.
    ClientReport finish(std::chrono::milliseconds limit, WantLog& wants) {
        if (vanishedAt_) process_.signal(SIGKILL);
        const testsupport::ProcessResult result = process_.finish(limit);
        ClientReport report;
        report.name = name();
        report.tag = tag_;
        report.wellBehaved = wellBehaved_ && !vanishedAt_;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string word, key;
            words >> word;
            if (word == "want" || word == "end") {
                double at = 0;
                words >> key >> at;
                if (word == "want")
                    wants.begin(name(), key, at);
                else
                    wants.end(name(), key, at);
            } else if (word == "fail") {
                report.failures.push_back(line.substr(5));
            } else if (word == "stat") {
                long count = 0;
                words >> key >> count;
                if (key == "sent-scratch") report.sentScratch = count;
                if (key == "sent-echo") report.sentEcho = count;
                if (key == "refused-scratch") report.refusedScratch = count;
                report.statistics += (report.statistics.empty() ? "" : ", ") + key + " " + std::to_string(count);
            } else if (word == "done") {
                report.finished = true;
            }
        }
        if (vanishedAt_) wants.vanished(name(), *vanishedAt_);
        if (report.wellBehaved && !report.finished)
            report.failures.push_back(name() + " did not finish (exit " + std::to_string(result.exitCode) +
                                      "): " + result.err.substr(0, 2000));
        return report;
    }

private:
    testsupport::RunningProcess process_;
    int tag_;
    bool wellBehaved_;
    std::optional<double> vanishedAt_;
};

// Requests of each tag that reached the module, from its log: the 0x12 requests (the
// last chunk of a multi-chunk write completes it) and the tagged echoes.
struct Reached {
    std::map<int, long> scratch;
    std::map<int, long> echo;
    std::map<std::string, long> fates;
};

Reached reachedModule(const testsupport::ModsimProcess& sim) {
    Reached reached;
    for (const std::string& line : sim.logLines()) {
        if (line.rfind("ev module ", 0) == 0 && line.find(" random reply ") != std::string::npos) {
            const size_t at = line.find(" random reply ") + 14;
            reached.fates[line.substr(at, line.find_first_of(" :", at) - at)]++;
            continue;
        }
        if (line.find("refused at random") != std::string::npos) reached.fates["refused"]++;
        if (line.rfind("rx ", 0) != 0) continue;
        std::istringstream hex(line.substr(3));
        std::vector<int> bytes;
        for (std::string byte; hex >> byte;) bytes.push_back(std::stoi(byte, nullptr, 16));
        if (bytes.size() < 5 || bytes[0] != kAddress) continue;
        const int size = bytes[1];
        if (bytes[2] == kScratch) {
            const bool continues = size == 28 && (bytes.back() & 0x80);
            if (!continues) reached.scratch[bytes[4] & 0x1F]++;
        } else if (bytes[2] == kEcho && size == 5 && bytes[3] == kEchoMark) {
            reached.echo[bytes[4]]++;
        }
    }
    return reached;
}

// Looks at which the module streamed a value no want covered, the grace included.
std::vector<std::string> unwantedStreams(const std::vector<StreamLook>& looks, const std::vector<Want>& wants,
                                         double grace, double origin) {
    std::vector<std::string> found;
    std::set<std::string> reported;
    for (const StreamLook& look : looks) {
        for (const std::string& key : look.keys) {
            bool wanted = false;
            double lastEnd = -1;
            for (const Want& want : wants) {
                // A client notes its want just after sending the enable; a second covers
                // a client descheduled in between.
                if (want.key != key || want.start > look.after + 1.0) continue;
                lastEnd = std::max(lastEnd, want.end);
                if (look.before <= want.end + grace) wanted = true;
            }
            if (wanted || reported.count(key)) continue;
            reported.insert(key);
            char text[200];
            if (lastEnd < 0)
                std::snprintf(text, sizeof text, "the module streamed %s at %.1f s, before anyone wanted it",
                              key.c_str(), look.before - origin);
            else
                std::snprintf(text, sizeof text,
                              "the module still streamed %s at %.1f s, %.1f s after the last client stopped "
                              "wanting it",
                              key.c_str(), look.before - origin, look.before - lastEnd);
            found.push_back(text);
        }
    }
    return found;
}

TEST(LinkServerRequestPath, RandomClientsKeepEveryReplyWithItsRequest) {
    const Settings settings = Settings::fromEnvironment();
    const std::string replay = settings.replay();
    std::printf("seed %llu; to replay: %s\n", static_cast<unsigned long long>(settings.seed), replay.c_str());
    std::fflush(stdout);
    Operations operations;
    ASSERT_TRUE(Operations::parse(settings.operations, operations)) << settings.operations;
    const int tagsNeeded = settings.raw + settings.library + settings.vanishing + (settings.cut ? 1 : 0);
    ASSERT_LE(tagsNeeded, kTags) << "each client needs an index of its own";
    testsupport::HangGuard watchdog(replay, std::chrono::seconds(static_cast<long>(settings.seconds) + 50));
    std::mt19937_64 random(settings.seed);
    auto uniform = [&random](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };

    std::unique_ptr<CutNetwork> network;
    if (settings.cut) {
        network = std::make_unique<CutNetwork>();
        ASSERT_TRUE(network->ready());
    }
    testsupport::ModuleOnBus module(SERIAL_TEXT, MODEL, kAddress);
    ASSERT_TRUE(module.ready());
    testsupport::ModsimProcess& sim = module.sim();
    testsupport::Heartbeats heartbeats(sim);
    uint16_t port = 0;
    uint32_t serverAddress = settings.cut ? CutNetwork::serverAddress() : 0;
    aLinkRef creator = aLink_CreateServer(SERIAL, &port, &serverAddress, settings.cut ? 0 : 1);
    ASSERT_NE(creator, 0u);
    const std::string host = dotted(serverAddress);
    const std::string spec = "seed=" + std::to_string(settings.seed % 1000000007ull) + "," + settings.module;
    ASSERT_EQ(sim.control("random-replies " + spec).rfind("ok ", 0), 0u) << spec;
    ModuleStreamWatch watch(sim);
    WantLog wants;
    const double origin = monotonicSeconds();

    const std::string script = testsupport::requiredEnv("SOURCE_DIR") + "/tests/peers/random_client.py";
    auto rawArguments = [&](int tag, double seconds, int bigBurst) {
        return std::vector<std::string>{"/usr/bin/python3", script, "--host", host, "--port", std::to_string(port),
                                        "--address", std::to_string(kAddress), "--tag", std::to_string(tag),
                                        "--seed", std::to_string(random() % 1000000007ull), "--seconds",
                                        std::to_string(seconds), "--ops", settings.operations, "--streams",
                                        joined(SHARED_STREAMS), "--big-burst", std::to_string(bigBurst)};
    };
    auto libraryPlan = [&](int tag, double seconds, int bigBurst) {
        LibraryClientPlan plan;
        plan.serverAddress = serverAddress;
        plan.port = port;
        plan.tag = tag;
        plan.seed = random();
        plan.seconds = seconds;
        plan.operations = operations;
        plan.streams = SHARED_STREAMS;
        plan.bigBurst = bigBurst;
        return plan;
    };

    int nextTag = 0;
    std::vector<std::unique_ptr<RawClient>> raws;
    std::vector<std::unique_ptr<LibraryClient>> libraries;
    for (int n = 0; n < settings.raw; ++n) {
        const int tag = nextTag++;
        raws.push_back(std::make_unique<RawClient>(
            rawArguments(tag, settings.seconds, n == 0 ? settings.bigBurst : 0), tag, true));
    }
    for (int n = 0; n < settings.library; ++n)
        libraries.push_back(std::make_unique<LibraryClient>(
            libraryPlan(nextTag++, settings.seconds, n == 0 ? settings.bigBurst : 0), wants));

    // Clients that vanish: each starts at a random time and goes a few seconds later,
    // a raw one killed, a library one destroying its link.
    struct Vanisher {
        double startAt;
        double life;
        bool raw;
        int tag;
        bool started = false;
        size_t index = 0;
    };
    std::vector<Vanisher> vanishers;
    for (int n = 0; n < settings.vanishing; ++n)
        vanishers.push_back(Vanisher{uniform(0.5, std::max(1.0, settings.seconds - 8)), uniform(1.5, 6), n % 2 == 0,
                                     nextTag++});
    std::unique_ptr<RawClient> cutClient;
    std::string heldFile;
    testsupport::TempDir dir;
    const double cutAt = uniform(2, std::max(2.5, settings.seconds - settings.grace - 3));
    double cutTime = 0;
    if (settings.cut) {
        heldFile = dir.file("cut.held");
        std::vector<std::string> argv = rawArguments(nextTag, 3600, 0);
        argv.insert(argv.begin(), {"/usr/bin/unshare", "-n", "--"});
        argv.insert(argv.end(), {"--streams", std::to_string(CUT_STREAM), "--hold", heldFile});
        cutClient = std::make_unique<RawClient>(argv, nextTag++, false);
        ASSERT_TRUE(network->join(cutClient->pid()));
    }

    for (long round = 0; round < 100000 && monotonicSeconds() < origin + settings.seconds; ++round) {
        const double now = monotonicSeconds() - origin;
        for (Vanisher& vanisher : vanishers) {
            if (!vanisher.started && now >= vanisher.startAt) {
                vanisher.started = true;
                if (vanisher.raw) {
                    vanisher.index = raws.size();
                    raws.push_back(std::make_unique<RawClient>(rawArguments(vanisher.tag, 3600, 0), vanisher.tag, false));
                } else {
                    LibraryClientPlan plan = libraryPlan(vanisher.tag, 3600, 0);
                    plan.vanishAfter = vanisher.life;
                    libraries.push_back(std::make_unique<LibraryClient>(plan, wants));
                }
            } else if (vanisher.started && vanisher.raw && now >= vanisher.startAt + vanisher.life &&
                       vanisher.life > 0) {
                raws[vanisher.index]->vanish(SIGKILL);
                vanisher.life = 0;
            }
        }
        if (cutClient && cutTime == 0 && now >= cutAt && std::ifstream(heldFile).good()) {
            ASSERT_TRUE(network->cut(cutClient->pid()));
            cutTime = monotonicSeconds();
            cutClient->markVanished(cutTime);
            std::printf("cut the subscriber's network at %.1f s\n", cutTime - origin);
        }
        std::this_thread::sleep_for(20ms);
    }
    for (Vanisher& vanisher : vanishers)
        if (vanisher.started && vanisher.raw && vanisher.life > 0) raws[vanisher.index]->vanish(SIGKILL);
    if (cutClient && cutTime == 0) {
        ADD_FAILURE() << "the subscriber to be cut off never held its stream";
        cutTime = monotonicSeconds();
        cutClient->markVanished(cutTime);
    }
    // The clients give back what they hold and prove their requests ran; the module
    // answers at once from now on, so that ends soon.
    EXPECT_EQ(sim.control("random-replies off"), "ok off");

    std::vector<ClientReport> reports;
    for (auto& raw : raws) reports.push_back(raw->finish(90s, wants));
    for (auto& library : libraries) {
        library->join();
        reports.push_back(library->report());
    }
    double lastEnd = cutTime;
    for (const Want& want : wants.all()) lastEnd = std::max(lastEnd, std::isinf(want.end) ? 0 : want.end);
    StreamLook last;
    const bool quiet = testsupport::waitUntil(
        [&] { return watch.look(last) && last.keys.empty(); },
        std::chrono::milliseconds(static_cast<long>(std::max(0.0, lastEnd + settings.grace - monotonicSeconds()) * 1000) +
                                  2000),
        100ms);
    watch.stop();
    const double ran = monotonicSeconds() - origin;

    aLink_Destroy(&creator);
    if (cutClient) reports.push_back(cutClient->finish(10s, wants));
    const Reached reached = reachedModule(sim);

    std::printf("ran %.1f s; module replies: slow %ld, late %ld, dropped %ld, enables refused %ld\n", ran,
                reached.fates.count("slow") ? reached.fates.at("slow") : 0,
                reached.fates.count("late") ? reached.fates.at("late") : 0,
                reached.fates.count("dropped") ? reached.fates.at("dropped") : 0,
                reached.fates.count("refused") ? reached.fates.at("refused") : 0);
    for (const ClientReport& report : reports) {
        std::printf("%s%s: %s\n", report.name.c_str(), report.wellBehaved ? "" : " (vanished)",
                    report.statistics.c_str());
        for (const std::string& failure : report.failures) ADD_FAILURE() << failure << "\n  replay: " << replay;
        if (!report.wellBehaved || !report.finished) continue;
        const long scratch = reached.scratch.count(report.tag) ? reached.scratch.at(report.tag) : 0;
        const long echo = reached.echo.count(report.tag) ? reached.echo.at(report.tag) : 0;
        EXPECT_EQ(report.sentScratch, scratch + report.refusedScratch)
            << report.name << ": requests of command 0x12 sent, against those that reached the module (" << scratch
            << ") and those refused with an answer (" << report.refusedScratch << ")\n  replay: " << replay;
        EXPECT_EQ(report.sentEcho, echo) << report.name << ": echoes sent, against those that reached the module"
                                         << "\n  replay: " << replay;
    }
    for (const std::string& unwanted : unwantedStreams(watch.looks(), wants.all(), settings.grace, origin))
        ADD_FAILURE() << unwanted << "\n  replay: " << replay;
    std::string streaming;
    for (const std::string& key : last.keys) streaming += " " + key;
    EXPECT_TRUE(quiet) << "the module still streams" << streaming << " " << settings.grace
                       << " s after every client stopped wanting it\n  replay: " << replay;
}

}  // namespace
