// The object API's link lifetime under a seeded randomized stress: three Modules (the
// router of a simulated router module and two modules on its network) share the
// router's one link over loopback TCP, each driven by a thread of its own that
// connects (directly or through another Module), disconnects, destroys its Module,
// resets, enables streams, registers stream callbacks, toggles its packet log and
// exchanges values, while the module streams samples and a further thread injects
// module faults. Stream callbacks call back into their Link: they read values, exchange
// packets, and remove their registration and register again. Checked: nothing hangs (a
// watchdog prints every thread's stack), callbacks of one Link never run at the same
// time and never after their Link is gone (the sanitizer sees that), every connect to
// the reachable module succeeds (or finds the shared link in a reset), and at the end
// the process holds no more descriptors and threads than before. STRESS_SEED replays
// a run, STRESS_SECONDS sets its length, STRESS_OPS / STRESS_OPS_OFF pick operations
// (kOps below).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "api_modsim.h"
#include "process_census.h"
#include "stall_watchdog.h"
#include "stress_settings.h"
#include "tempdir.h"

using namespace Veltrane::Corvalith;
using namespace std::chrono_literals;
using testsupport::ApiModsim;
using testsupport::StallWatchdog;
using testsupport::StressSettings;
using testsupport::uniform;

namespace {

const uint8_t ROUTER = 2;
const uint8_t kAddresses[] = {ROUTER, 10, 12};
const uint8_t STREAMED = 0x10;
// The options the simulated module streams, and the wildcard.
const uint8_t kOptions[] = {1, 2, 3, 6, 7, 8, 0xFF};

const std::vector<std::string> kOps = {
    "connect",                // connects a Module that is not connected, directly or through another
    "disconnect",             // disconnects a Module and keeps it
    "destroy",                // destroys a Module (a new one connects later)
    "reset",                  // resets the Module's Link
    "stream",                 // enables or disables a stream without a callback
    "callback-count",         // registers a callback that only counts
    "callback-calls-back",    // a callback reading its Link's value cache and status
    "callback-exchanges",     // a callback exchanging an echo with its module
    "callback-reregisters",   // a callback removing its registration and registering again
    "unregister",             // removes registrations
    "log",                    // enables or disables the Link's packet log
    "exchange",               // reads the module's serial number
    "status",                 // asks the Link whether it is connected and streaming
    "faults",                 // the simulated module's reply faults, injected now and then
    "drop",                   // the module drops the connection now and then (connects may then fail)
};

enum class CallbackKind { Count, CallsBack, Exchanges, ReRegisters };

// A lock that can be waited for a bounded time, made of a mutex and a condition
// variable (ThreadSanitizer follows those; it does not follow a timed mutex's wait).
class Gate {
public:
    bool enter(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!free_.wait_for(guard, limit, [this] { return !busy_; })) return false;
        busy_ = true;
        return true;
    }
    void leave() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            busy_ = false;
        }
        free_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable free_;
    bool busy_ = false;
};

// What the callbacks of one Link share. A callback calls into its Link only while the
// gate is open; its owner closes the gate before it disconnects or destroys the Module,
// so no callback uses a Link whose connection is being changed. A callback waits for the
// gate a bounded time only: two callbacks of one Link running at once (a fault this test
// looks for) must not hang the run on the test's own lock.
struct CallbackState {
    Gate gate;
    std::atomic<bool> gateWaitedInVain{false};
    bool open = false;  // guarded by the gate
    Module* module = nullptr;
    Link* link = nullptr;
    std::atomic<int> running{0};
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> overlaps{0};
    std::atomic<int64_t> lastSlowCallMs{0};
};

struct Callback {
    CallbackKind kind;
    uint8_t option;

    aErr operator()(const aPacket*, void* ref) const {
        auto* state = static_cast<CallbackState*>(ref);
        if (state->running.fetch_add(1) != 0 && state->overlaps++ == 0)
            fprintf(stderr, "two callbacks of one Link are running at the same time\n");
        ++state->calls;
        if (kind != CallbackKind::Count) {
            // After one wait in vain, later callbacks (a queue of them) do not wait at all.
            const bool entered = state->gate.enter(state->gateWaitedInVain ? 0s : 2s);
            if (!entered) state->gateWaitedInVain = true;
            if (entered) {
                if (state->open) callBack(*state);
                state->gate.leave();
            }
        }
        state->running.fetch_sub(1);
        return aErrNone;
    }

    // The calls that wait for the module come at most every 20 ms, so that the callbacks
    // keep up with the samples.
    static bool due(CallbackState& state) {
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        int64_t last = state.lastSlowCallMs;
        return now - last >= 20 && state.lastSlowCallMs.compare_exchange_strong(last, now);
    }

    void callBack(CallbackState& state) const {
        switch (kind) {
        case CallbackKind::Count:
            break;
        case CallbackKind::CallsBack: {
            uint32_t value = 0;
            state.link->getStreamValue(ROUTER, STREAMED, option == 0xFF ? 1 : option, 0, 0, &value);
            state.link->isConnected();
            state.link->getStatus();
            break;
        }
        case CallbackKind::Exchanges:
            if (due(state)) {
                const uint8_t data[] = {0x27, 0x01};
                state.module->debug(data, sizeof data);
            }
            break;
        case CallbackKind::ReRegisters:
            if (due(state)) {
                state.link->registerStreamCallback(ROUTER, STREAMED, option, 0, false, {}, nullptr);
                state.link->registerStreamCallback(ROUTER, STREAMED, option, 0, true, Callback{kind, option}, &state);
            }
            break;
        }
    }
};

struct Holder {
    std::size_t index = 0;
    uint8_t address = 0;
    // Held while this holder's connection changes, and by another holder while it
    // connects through this one's Module.
    std::mutex member;
    std::unique_ptr<Module> module;
    std::unique_ptr<CallbackState> callbacks;
    bool logging = false;
    std::string logPath;
};

struct Mix {
    const char* name;
    std::vector<std::string> ops;
    std::chrono::milliseconds duration;
};

void PrintTo(const Mix& mix, std::ostream* out) {
    *out << mix.name;
}

class ApiLifetimeStress : public ::testing::TestWithParam<Mix> {
protected:
    ApiLifetimeStress()
        : settings(GetParam().duration, GetParam().ops),
          watchdog(settings.describe(), 30s) {}

    void SetUp() override {
        ASSERT_TRUE(sim.ready());
        for (std::size_t i = 0; i < 3; ++i) {
            holders[i].index = i;
            holders[i].address = kAddresses[i];
            holders[i].logPath = logs.file("link" + std::to_string(i) + ".log");
        }
        // What the library keeps for the whole process is in the baseline.
        Module warm(ROUTER, false, 0);
        ASSERT_EQ(testsupport::connectWithoutSharing(warm, sim.spec()), aErrNone);
        warm.disconnect();
    }

    bool enabled(const std::string& op) const { return settings.enabled(op); }

    void violation(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        ++violationCount;
        if (violationTexts.size() < 20) violationTexts.push_back(text);
    }
    void count(const std::string& op, const std::string& outcome) {
        std::lock_guard<std::mutex> guard(lock);
        ++counters[op][outcome];
    }

    // Closes the gate of the holder's callbacks: none of them calls into the Link after this.
    void closeGate(Holder& holder) {
        if (!holder.callbacks) return;
        // A callback holds the gate for one call into the Link at most (the watchdog
        // sees a longer one first).
        if (!holder.callbacks->gate.enter(60s)) return violation("a callback kept its gate for a minute");
        holder.callbacks->open = false;
        holder.callbacks->gate.leave();
    }
    void retireCallbacks(Holder& holder) {
        if (!holder.callbacks) return;
        totalCalls += holder.callbacks->calls;
        if (const uint64_t overlaps = holder.callbacks->overlaps)
            violation("callbacks of the Link of module " + std::to_string(holder.address) + " ran at the same time " +
                      std::to_string(overlaps) + " times (of " + std::to_string(holder.callbacks->calls.load()) +
                      " calls)");
        holder.callbacks.reset();
    }

    void connect(Holder& holder, std::mt19937_64& random, StallWatchdog::Participant& me) {
        if (holder.module && holder.module->isConnected()) return;
        me.step("connect", 5s);
        if (uniform(random, 0, 1) == 0) {
            Holder& through = holders[(holder.index + static_cast<std::size_t>(uniform(random, 1, 2))) % 3];
            // Both holders' locks, always the lower index first.
            std::lock_guard<std::mutex> low(holder.index < through.index ? holder.member : through.member);
            std::lock_guard<std::mutex> high(holder.index < through.index ? through.member : holder.member);
            connectLocked(holder, through.module && through.module->isConnected() ? through.module.get() : nullptr);
        } else {
            std::lock_guard<std::mutex> guard(holder.member);
            connectLocked(holder, nullptr);
        }
    }

    void connectLocked(Holder& holder, Module* through) {
        if (!holder.module) {
            holder.module = std::make_unique<Module>(holder.address, false, 0);
            holder.module->setConfig(testsupport::plainConfig());
            holder.callbacks = std::make_unique<CallbackState>();
        }
        holder.module->disconnect();
        const aErr result =
            through ? holder.module->connectThroughLinkModule(through) : holder.module->connectFromSpec(sim.spec());
        const std::string how = through ? "through another Module" : "directly";
        if (result == aErrNone) {
            count("connect", how);
            if (!holder.callbacks->gate.enter(60s)) return violation("a callback kept its gate for a minute");
            holder.callbacks->module = holder.module.get();
            holder.callbacks->link = holder.module->getLink();
            holder.callbacks->open = true;
            holder.callbacks->gate.leave();
            return;
        }
        // The shared link may be in a reset that another Module began.
        count("connect", std::string(aError_GetErrorText(result)) + " " + how);
        if (result != aErrBusy && !enabled("drop"))
            violation("connecting module " + std::to_string(holder.address) + " " + how + " failed with " +
                      aError_GetErrorText(result));
        holder.module->disconnect();
    }

    void endConnection(Holder& holder, bool destroy, StallWatchdog::Participant& me) {
        if (!holder.module) return;
        me.step(destroy ? "destroying a Module" : "disconnecting a Module", 5s);
        closeGate(holder);
        std::lock_guard<std::mutex> guard(holder.member);
        if (destroy) {
            holder.module.reset();
            retireCallbacks(holder);
            holder.logging = false;
        } else {
            holder.module->disconnect();
        }
        count(destroy ? "destroy" : "disconnect", "done");
    }

    void step(Holder& holder, const std::string& op, std::mt19937_64& random, StallWatchdog::Participant& me) {
        if (op == "connect") return connect(holder, random, me);
        if (op == "disconnect" || op == "destroy") return endConnection(holder, op == "destroy", me);
        if (!holder.module) return;
        Link* link = holder.module->getLink();
        const uint8_t option = kOptions[uniform(random, 0, sizeof kOptions - 1)];
        if (op == "reset") {
            me.step("Link::reset", 10s);
            link->reset();
            count("reset", "done");
        } else if (op == "stream") {
            me.step("Link::enableStream", 5s);
            count(op, aError_GetErrorText(link->enableStream(ROUTER, STREAMED, option, 0, uniform(random, 0, 1) == 0)));
        } else if (op.rfind("callback-", 0) == 0) {
            static const std::map<std::string, CallbackKind> kinds = {{"callback-count", CallbackKind::Count},
                                                                      {"callback-calls-back", CallbackKind::CallsBack},
                                                                      {"callback-exchanges", CallbackKind::Exchanges},
                                                                      {"callback-reregisters",
                                                                       CallbackKind::ReRegisters}};
            me.step("Link::registerStreamCallback", 5s);
            const aErr result = link->registerStreamCallback(ROUTER, STREAMED, option, 0, true,
                                                             Callback{kinds.at(op), option}, holder.callbacks.get());
            count(op, aError_GetErrorText(result));
        } else if (op == "unregister") {
            me.step("removing registrations", 5s);
            count(op, aError_GetErrorText(link->registerStreamCallback(ROUTER, STREAMED, option, 0, false, {}, nullptr)));
        } else if (op == "log") {
            me.step(holder.logging ? "Link::disablePacketLog" : "Link::enablePacketLog", 5s);
            const aErr result =
                holder.logging ? link->disablePacketLog() : link->enablePacketLog(holder.logPath.c_str());
            count(holder.logging ? "log off" : "log on", aError_GetErrorText(result));
            holder.logging = !holder.logging;
        } else if (op == "exchange") {
            me.step("reading the serial number", 5s);
            SystemClass system;
            system.init(holder.module.get(), 0);
            uint32_t serial = 0;
            count(op, aError_GetErrorText(system.getSerialNumber(&serial)));
        } else if (op == "status") {
            me.step("status", 5s);
            uint8_t streaming = 0;
            holder.module->isConnected();
            count(op, aError_GetErrorText(link->isLinkStreaming(ROUTER, &streaming)));
        }
    }

    void drive(Holder& holder, StallWatchdog::Participant& me) {
        std::mt19937_64 random = settings.generator(holder.index + 1);
        std::vector<std::string> ops;
        std::vector<unsigned> weights;
        const std::map<std::string, unsigned> weightOf = {{"connect", 12}, {"disconnect", 2}, {"destroy", 3},
                                                          {"reset", 4},    {"stream", 4},     {"unregister", 3},
                                                          {"log", 5},      {"exchange", 4},   {"status", 3}};
        for (const auto& op : kOps) {
            if (!enabled(op) || op == "faults" || op == "drop") continue;
            ops.push_back(op);
            const auto weight = weightOf.find(op);
            weights.push_back(weight != weightOf.end() ? weight->second : 4);
        }
        if (ops.empty()) return;
        for (int steps = 0; steps < 1000000 && std::chrono::steady_clock::now() < end; ++steps) {
            step(holder, testsupport::pickWeighted(random, ops, weights), random, me);
            me.idle();
            std::this_thread::sleep_for(std::chrono::microseconds(uniform(random, 0, 3000)));
        }
    }

    void injectFaults(StallWatchdog::Participant& me) {
        std::mt19937_64 random = settings.generator(99);
        std::vector<std::string> faults;
        if (enabled("faults"))
            faults = {"fault delay 1200",   "fault delay 300 10", "fault no-reply",    "fault no-reply 12",
                      "fault error 29",     "fault error 12 10",  "fault length",      "fault stream error 0 29",
                      "fault framing odd",  "fault partial",      "heartbeat 5",       "stream-rate 2",
                      "stream-rate 10"};
        if (enabled("drop")) faults.push_back("drop");
        if (faults.empty()) return;
        for (int steps = 0; steps < 100000 && std::chrono::steady_clock::now() < end; ++steps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(uniform(random, 50, 400)));
            const std::string& fault = faults[static_cast<std::size_t>(uniform(random, 0, faults.size() - 1))];
            me.step("a control command to the simulated module", 10s);
            count("module fault", fault);
            sim.control(fault);
            me.idle();
        }
        sim.control("stream-rate 5");
    }

    StressSettings settings;
    StallWatchdog watchdog;
    ApiModsim sim{{"--serial", "00002705", "--router-module", "10:0000BEEF:21", "--router-module", "12:0000F00D:22",
                   "--stream-ms", "5"}};
    testsupport::TempDir logs;
    Holder holders[3];
    std::chrono::steady_clock::time_point end;

    std::mutex lock;
    std::map<std::string, std::map<std::string, uint64_t>> counters;
    std::vector<std::string> violationTexts;
    std::size_t violationCount = 0;
    std::atomic<uint64_t> totalCalls{0};
};

TEST_P(ApiLifetimeStress, KeepsItsPromises) {
    std::cout << "[ stress   ] " << settings.describe() << std::endl;
    const testsupport::Census baseline = testsupport::Census::take();
    StallWatchdog::Participant& mainThread = watchdog.enroll("main");
    end = std::chrono::steady_clock::now() + settings.duration();
    std::vector<std::thread> threads;
    for (Holder& holder : holders) {
        StallWatchdog::Participant* me = &watchdog.enroll("Module " + std::to_string(holder.address));
        threads.emplace_back([this, &holder, me] { drive(holder, *me); });
    }
    StallWatchdog::Participant* injector = &watchdog.enroll("fault injector");
    threads.emplace_back([this, injector] { injectFaults(*injector); });
    mainThread.step("joining the threads", settings.duration() + 30s);
    for (auto& thread : threads) thread.join();

    // The Modules that are left go in an order of the seed's choosing.
    std::mt19937_64 random = settings.generator(100);
    std::vector<std::size_t> order = {0, 1, 2};
    std::shuffle(order.begin(), order.end(), random);
    for (const std::size_t i : order) {
        mainThread.step("destroying the Modules that are left", 10s);
        closeGate(holders[i]);
        holders[i].module.reset();
        retireCallbacks(holders[i]);
    }
    mainThread.step("checking the end state", 20s);
    const testsupport::Census after = testsupport::awaitCensusAtMost(baseline, 15s);
    if (after.descriptors.size() > baseline.descriptors.size() || after.threads > baseline.threads)
        violation("the process holds more than before the run (" + std::to_string(after.descriptors.size()) +
                  " descriptors, " + std::to_string(after.threads) + " threads; at the start " +
                  std::to_string(baseline.descriptors.size()) + " and " + std::to_string(baseline.threads) + "):\n" +
                  after.beyond(baseline));
    mainThread.idle();

    std::ostringstream report;
    report << "[ stress   ] operations:";
    for (const auto& op : counters) {
        report << "\n    " << op.first << ":";
        for (const auto& outcome : op.second) report << " " << outcome.first << "=" << outcome.second;
    }
    report << "\n    stream callbacks run: " << totalCalls;
    std::cout << report.str() << std::endl;
    for (const auto& text : violationTexts) ADD_FAILURE() << text << "\n" << settings.describe();
    if (violationCount > violationTexts.size())
        ADD_FAILURE() << violationCount << " violations in all\n" << settings.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, ApiLifetimeStress,
    ::testing::Values(
        Mix{"Everything", [] {
                std::vector<std::string> ops = kOps;
                ops.erase(std::remove(ops.begin(), ops.end(), "drop"), ops.end());
                return ops;
            }(),
            6s},
        Mix{"WithConnectionDrops", kOps, 3s},
        // One Module resets the shared link while the others toggle their packet logs.
        Mix{"PacketLogsAmidResets", {"connect", "destroy", "reset", "log", "exchange"}, 3s},
        // Callbacks that take their last registration away and register again.
        Mix{"CallbacksThatRegisterAgain",
            {"connect", "destroy", "stream", "callback-count", "callback-reregisters", "unregister"},
            3s}),
    [](const ::testing::TestParamInfo<Mix>& tested) { return std::string(tested.param.name); });

}  // namespace
