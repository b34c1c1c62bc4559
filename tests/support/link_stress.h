// A seeded randomized stress of the link lifetime through the public C API, over any
// transport: worker threads create, destroy, reset, wait on, put to and filter the links
// of a few reachable modules at random, and install user filters that call back into
// the library (their own link's status and queue, a filter on their own link, a reset
// of another module's link). It checks what aLink.h promises:
//   - nothing hangs (a watchdog prints every thread's stack and ends the process);
//   - every create of a reachable module gives a link;
//   - a reset of a reachable module's link succeeds or says it is busy or gone;
//   - every wait ends within its time-out, and soon after a reset or the last destroy
//     of the link it waits on;
//   - at the end no link is left registered and the process holds no more descriptors
//     and threads than before the run.
// Each operation has a name (kOps) that STRESS_OPS / STRESS_OPS_OFF can pick or drop; an
// operation named more than once in a mix is picked that many times as often.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "process_census.h"
#include "stall_watchdog.h"
#include "stress_settings.h"

namespace linkstress {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline int64_t nowMs() {
    return std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count();
}

// One parameter of a stress test: the operations its workers pick from, how long it
// runs, and how many of the test's modules it uses (the first ones).
struct Mix {
    const char* name;
    std::vector<std::string> ops;
    std::chrono::milliseconds duration;
    std::size_t modules;
};

inline void PrintTo(const Mix& mix, std::ostream* out) {
    *out << mix.name;
}

// Every operation a worker may pick.
inline const std::vector<std::string> kOps = {
    "create",             // one more use of a module's link (must succeed)
    "destroy",            // drops one of the worker's uses
    "blink",              // a create dropped at once, racing other creators of the module
    "reset",              // resets the link of a module
    "wait",               // aLink_AwaitFirst for a packet that never comes
    "await",              // aLink_AwaitPacket
    "put",                // an address probe on a link; the module answers it
    "status",             // aLink_GetStatus
    "stream",             // asks the module to stream samples (modules that can)
    "filter-plain",       // a filter that only counts packets
    "filter-own-status",  // a filter asking its own link's status for each packet
    "filter-own-put",     // a filter queuing a packet on its own link for each packet
    "filter-own-install", // a filter installing a filter on its own link
    "filter-reset-other", // a filter resetting another module's link
    "unfilter",           // removes a link's filter
};

// One module the run reaches; its link is made by `create` and the module stays
// reachable for the whole run.
struct ModuleSpec {
    std::string name;
    std::function<aLinkRef()> create;
    uint8_t address = 0;
    // The module whose link this module's filters reset.
    std::size_t partner = 0;
    // A packet that makes the module stream samples, if it can.
    std::vector<uint8_t> streamRequest;
};

struct RunOptions {
    std::size_t workers = 8;
    std::size_t maxUsesPerWorker = 6;
    // How long a create, a destroy or a reset may take before it counts as a stall
    // (beyond the watchdog's grace).
    milliseconds createBound{5000};
    milliseconds resetBound{5000};
    // A wait must end this soon after the reset or destroy that ends it, and after
    // its own time-out.
    milliseconds soon{5000};
    milliseconds stallGrace{30000};
};

enum class FilterKind { Plain, OwnStatus, OwnPut, OwnInstall, ResetOther };

struct ModuleState;

// What an installed filter works with; one per installation, kept for the whole run so
// that a filter still installed on a link shared with other workers never meets a freed
// reference.
struct FilterRef {
    FilterKind kind = FilterKind::Plain;
    aLinkRef own = 0;
    ModuleState* partner = nullptr;
    std::atomic<int64_t> lastResetMs{0};
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t>* installResults = nullptr;  // [0] accepted, [1] refused
    std::atomic<uint64_t>* partnerResets = nullptr;   // [0] done, [1] busy, [2] other
};

struct ModuleState {
    ModuleSpec spec;
    std::atomic<aLinkRef> current{0};
};

uint8_t stressFilter(const aPacket* packet, const void* ref);

inline uint8_t neverMatches(const aPacket*, const void*) {
    return 0;
}

// A packet to an address where no module sits: every module drops it.
inline aErr putStray(aLinkRef id) {
    const uint8_t data[1] = {0x55};
    aPacket* packet = aPacket_CreateWithData(0x7E, 1, data);
    const aErr result = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return result;
}

inline aErr putProbe(aLinkRef id) {
    const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(aLINK_ADDRESS_SYNC, 0, &none);
    const aErr result = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return result;
}

inline uint8_t stressFilter(const aPacket*, const void* reference) {
    auto* ref = static_cast<FilterRef*>(const_cast<void*>(reference));
    const uint64_t calls = ++ref->calls;
    switch (ref->kind) {
    case FilterKind::Plain:
        break;
    case FilterKind::OwnStatus:
        aLink_GetStatus(ref->own);
        break;
    case FilterKind::OwnPut:
        putStray(ref->own);
        break;
    case FilterKind::OwnInstall:
        // Installing itself again on its own link: refused or done, never a hang.
        if (calls % 8 == 1)
            ++ref->installResults[aLink_InstallUserPacketFilter(ref->own, stressFilter, ref) == aErrNone ? 0 : 1];
        break;
    case FilterKind::ResetOther: {
        const int64_t now = nowMs();
        int64_t last = ref->lastResetMs;
        if (now - last < 10 || !ref->lastResetMs.compare_exchange_strong(last, now)) break;
        const aErr result = aLink_Reset(ref->partner->current);
        ++ref->partnerResets[result == aErrNone ? 0 : (result == aErrBusy || result == aErrParam) ? 1 : 2];
        break;
    }
    }
    return 0;
}

class Run {
public:
    Run(const testsupport::StressSettings& settings, std::vector<ModuleSpec> modules, RunOptions options = {})
        : settings_(settings), options_(options), watchdog_(settings.describe(), options.stallGrace) {
        for (auto& spec : modules) {
            modules_.emplace_back(std::make_unique<ModuleState>());
            modules_.back()->spec = std::move(spec);
        }
        for (std::size_t i = 0; i < kOps.size(); ++i) counters_[kOps[i]];
    }

    // Makes and drops each module's link once, so that what the library keeps for the
    // whole process (the USB context and its thread) is in the baseline.
    void warmUp() {
        for (auto& module : modules_) {
            aLinkRef id = module->spec.create();
            if (!id) violation("warm-up create of " + module->spec.name + " failed");
            noteId(id);
            aLink_Destroy(&id);
        }
        baseline_ = testsupport::Census::take();
    }

    void go() {
        std::cout << "[ stress   ] " << settings_.describe() << std::endl;
        testsupport::StallWatchdog::Participant& mainThread = watchdog_.enroll("main");
        end_ = Clock::now() + settings_.duration();
        std::vector<std::thread> workers;
        for (std::size_t i = 0; i < options_.workers; ++i) {
            testsupport::StallWatchdog::Participant* me = &watchdog_.enroll("worker " + std::to_string(i));
            workers.emplace_back([this, i, me] { work(i, *me); });
        }
        mainThread.step("joining the workers", settings_.duration() + milliseconds(30000));
        for (auto& worker : workers) worker.join();
        mainThread.step("checking the end state", milliseconds(20000));
        checkEnd();
        mainThread.idle();
        report();
    }

    std::size_t violations() const {
        std::lock_guard<std::mutex> guard(lock_);
        return violationCount_;
    }

private:
    struct Use {
        aLinkRef id;
        std::size_t module;
    };
    struct History {
        std::vector<std::pair<int64_t, int64_t>> resets;  // begin and end of each reset
        int64_t goneMs = -1;                              // the link was seen gone by then
    };

    void violation(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        ++violationCount_;
        if (violationTexts_.size() < 20) violationTexts_.push_back(text);
    }
    void count(const std::string& op, const std::string& outcome) {
        std::lock_guard<std::mutex> guard(lock_);
        ++counters_[op][outcome];
    }
    void noteId(aLinkRef id) {
        if (!id) return;
        std::lock_guard<std::mutex> guard(lock_);
        history_[id];
    }

    bool enabled(const std::string& op) const { return settings_.enabled(op); }

    void work(std::size_t index, testsupport::StallWatchdog::Participant& me) {
        std::mt19937_64 random = settings_.generator(index);
        std::vector<Use> uses;
        std::vector<std::string> ops;
        std::vector<unsigned> weights;
        const std::map<std::string, unsigned> weightOf = {
            {"create", 10}, {"destroy", 8}, {"blink", 4}, {"reset", 5}, {"wait", 6}, {"await", 4}, {"put", 6},
            {"status", 4},  {"stream", 2}, {"unfilter", 3}};
        // An operation named twice in the mix is picked twice as often.
        for (const auto& op : settings_.ops()) {
            if (std::find(kOps.begin(), kOps.end(), op) == kOps.end()) continue;
            ops.push_back(op);
            const auto weight = weightOf.find(op);
            weights.push_back(weight != weightOf.end() ? weight->second : 3);
        }
        if (ops.empty()) return;
        for (uint64_t steps = 0; steps < 10000000 && Clock::now() < end_; ++steps) {
            std::string op = testsupport::pickWeighted(random, ops, weights);
            if (op == "create" && uses.size() >= options_.maxUsesPerWorker && enabled("destroy")) op = "destroy";
            step(op, random, uses, me);
            me.idle();
            if (testsupport::uniform(random, 0, 3) == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(testsupport::uniform(random, 0, 2000)));
        }
        for (auto& use : uses) {
            me.step("destroying the worker's uses at the end", options_.createBound);
            destroy(use);
        }
        me.idle();
    }

    // A link to act on: one of the worker's own uses, or any module's current link.
    aLinkRef someLink(std::mt19937_64& random, const std::vector<Use>& uses) {
        if (!uses.empty() && testsupport::uniform(random, 0, 9) < 7)
            return uses[static_cast<std::size_t>(testsupport::uniform(random, 0, uses.size() - 1))].id;
        return modules_[pickModule(random)]->current;
    }
    std::size_t pickModule(std::mt19937_64& random) const {
        return static_cast<std::size_t>(testsupport::uniform(random, 0, modules_.size() - 1));
    }

    aLinkRef create(std::size_t module, testsupport::StallWatchdog::Participant& me) {
        ModuleState& state = *modules_[module];
        me.step("create", options_.createBound);
        const aLinkRef id = state.spec.create();
        if (!id) {
            violation("a create of reachable module " + state.spec.name + " failed (its last link " +
                      std::to_string(state.current.load()) + " had status " +
                      std::to_string(aLink_GetStatus(state.current)) + ")");
            count("create", "failed");
            return 0;
        }
        count("create", "ok");
        noteId(id);
        state.current = id;
        return id;
    }

    void destroy(Use& use) {
        aLinkRef id = use.id;
        const aErr result = aLink_Destroy(&id);
        if (result != aErrNone) violation("destroying a held use of link " + std::to_string(use.id) + " gave " +
                                          std::to_string(result));
        if (id != 0) violation("a destroy left the caller's ID set");
        if (aLink_GetStatus(use.id) == LINK_INVALID) {
            std::lock_guard<std::mutex> guard(lock_);
            History& history = history_[use.id];
            if (history.goneMs < 0) history.goneMs = nowMs();
        }
    }

    void step(const std::string& op, std::mt19937_64& random, std::vector<Use>& uses,
              testsupport::StallWatchdog::Participant& me) {
        if (op == "create") {
            const std::size_t module = pickModule(random);
            if (const aLinkRef id = create(module, me)) uses.push_back({id, module});
        } else if (op == "destroy") {
            if (uses.empty()) return;
            const auto at = static_cast<std::ptrdiff_t>(testsupport::uniform(random, 0, uses.size() - 1));
            Use use = uses[static_cast<std::size_t>(at)];
            uses.erase(uses.begin() + at);
            me.step("destroy", options_.createBound);
            destroy(use);
            count("destroy", "ok");
        } else if (op == "blink") {
            const std::size_t module = pickModule(random);
            if (const aLinkRef id = create(module, me)) {
                Use use{id, module};
                me.step("destroy right after a create", options_.createBound);
                destroy(use);
            }
        } else if (op == "reset") {
            reset(someLink(random, uses), me);
        } else if (op == "wait" || op == "await") {
            wait(op, someLink(random, uses), random, me);
        } else if (op == "put") {
            me.step("put");
            count("put", putProbe(someLink(random, uses)) == aErrNone ? "queued" : "refused");
        } else if (op == "status") {
            me.step("status");
            count("status", std::to_string(aLink_GetStatus(someLink(random, uses))));
        } else if (op == "stream") {
            if (uses.empty()) return;
            const Use& use = uses[static_cast<std::size_t>(testsupport::uniform(random, 0, uses.size() - 1))];
            const auto& request = modules_[use.module]->spec.streamRequest;
            if (request.empty()) return;
            aPacket* packet = aPacket_CreateWithData(modules_[use.module]->spec.address,
                                                     static_cast<uint8_t>(request.size()), request.data());
            me.step("put a stream request");
            count("stream", aLink_PutPacket(use.id, packet) == aErrNone ? "queued" : "refused");
            aPacket_Destroy(&packet);
        } else if (op == "unfilter") {
            if (uses.empty()) return;
            me.step("removing a filter", options_.createBound);
            const aLinkRef id = uses[static_cast<std::size_t>(testsupport::uniform(random, 0, uses.size() - 1))].id;
            count("unfilter", std::to_string(aLink_InstallUserPacketFilter(id, nullptr, nullptr)));
        } else if (op.rfind("filter-", 0) == 0) {
            installFilter(op, random, uses, me);
        }
    }

    void reset(aLinkRef id, testsupport::StallWatchdog::Participant& me) {
        if (!id) return;
        me.step("reset", options_.resetBound);
        const int64_t begin = nowMs();
        const aErr result = aLink_Reset(id);
        const int64_t end = nowMs();
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto& resets = history_[id].resets;
            resets.emplace_back(begin, end);
            if (resets.size() > 64) resets.erase(resets.begin());
        }
        if (result == aErrNone) {
            count("reset", "ok");
        } else if (result == aErrBusy || result == aErrParam) {
            count("reset", result == aErrBusy ? "busy" : "gone");
        } else {
            count("reset", "failed");
            violation("a reset of link " + std::to_string(id) + " of a reachable module failed with " +
                      aError_GetErrorText(result));
        }
    }

    void wait(const std::string& op, aLinkRef id, std::mt19937_64& random,
              testsupport::StallWatchdog::Participant& me) {
        static const std::vector<int64_t> timeouts = {0, 1, 10, 100, 1000, 5000, 15000};
        int64_t timeout = timeouts[static_cast<std::size_t>(testsupport::uniform(random, 0, timeouts.size() - 1))];
        const int64_t left = std::chrono::duration_cast<milliseconds>(end_ - Clock::now()).count() + 500;
        timeout = std::max<int64_t>(0, std::min(timeout, left));
        me.step(op == "wait" ? "aLink_AwaitFirst" : "aLink_AwaitPacket", milliseconds(timeout) + options_.soon);
        const int64_t begin = nowMs();
        aPacket* packet = op == "wait" ? aLink_AwaitFirst(id, neverMatches, nullptr, static_cast<uint64_t>(timeout))
                                       : aLink_AwaitPacket(id, static_cast<uint64_t>(timeout));
        const int64_t end = nowMs();
        count(op, packet ? "packet" : "none");
        aPacket_Destroy(&packet);
        const int64_t soon = options_.soon.count();
        if (end - begin > timeout + soon)
            violation(op + " of " + std::to_string(timeout) + " ms on link " + std::to_string(id) + " took " +
                      std::to_string(end - begin) + " ms");
        std::lock_guard<std::mutex> guard(lock_);
        const auto found = history_.find(id);
        if (found == history_.end()) return;
        const History& history = found->second;
        if (history.goneMs > begin && end > history.goneMs + soon)
            violation(op + " on link " + std::to_string(id) + " ended " + std::to_string(end - history.goneMs) +
                      " ms after its last use was destroyed");
        for (const auto& reset : history.resets)
            if (reset.first > begin && end > reset.second + soon)
                violation(op + " on link " + std::to_string(id) + " ended " + std::to_string(end - reset.second) +
                          " ms after a reset of it ended");
    }

    void installFilter(const std::string& op, std::mt19937_64& random, const std::vector<Use>& uses,
                       testsupport::StallWatchdog::Participant& me) {
        if (uses.empty()) return;
        const Use& use = uses[static_cast<std::size_t>(testsupport::uniform(random, 0, uses.size() - 1))];
        static const std::map<std::string, FilterKind> kinds = {{"filter-plain", FilterKind::Plain},
                                                                {"filter-own-status", FilterKind::OwnStatus},
                                                                {"filter-own-put", FilterKind::OwnPut},
                                                                {"filter-own-install", FilterKind::OwnInstall},
                                                                {"filter-reset-other", FilterKind::ResetOther}};
        FilterRef* ref = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            filterRefs_.emplace_back();
            ref = &filterRefs_.back();
        }
        ref->kind = kinds.at(op);
        ref->own = use.id;
        ref->partner = modules_[modules_[use.module]->spec.partner].get();
        ref->installResults = installResults_;
        ref->partnerResets = partnerResets_;
        me.step("installing a filter", options_.createBound);
        count(op, std::to_string(aLink_InstallUserPacketFilter(use.id, stressFilter, ref)));
    }

    void checkEnd() {
        std::vector<aLinkRef> ids;
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (const auto& entry : history_) ids.push_back(entry.first);
        }
        for (const aLinkRef id : ids)
            if (aLink_GetStatus(id) != LINK_INVALID)
                violation("link " + std::to_string(id) + " is still registered after every use was destroyed");
        const testsupport::Census after = testsupport::awaitCensusAtMost(baseline_, milliseconds(15000));
        if (after.descriptors.size() > baseline_.descriptors.size() || after.threads > baseline_.threads) {
            violation("the process holds more than before the run (" + std::to_string(after.descriptors.size()) +
                      " descriptors, " + std::to_string(after.threads) + " threads; at the start " +
                      std::to_string(baseline_.descriptors.size()) + " and " + std::to_string(baseline_.threads) +
                      "):\n" + after.beyond(baseline_));
        }
    }

    void report() {
        std::ostringstream out;
        out << "[ stress   ] operations:";
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (const auto& op : counters_) {
                if (op.second.empty()) continue;
                out << "\n    " << op.first << ":";
                for (const auto& outcome : op.second) out << " " << outcome.first << "=" << outcome.second;
            }
        }
        out << "\n    filter calls on their own link: install accepted=" << installResults_[0]
            << " refused=" << installResults_[1] << "; resets of another link done=" << partnerResets_[0]
            << " busy or gone=" << partnerResets_[1] << " failed=" << partnerResets_[2];
        std::cout << out.str() << std::endl;
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& text : violationTexts_) ADD_FAILURE() << text << "\n" << settings_.describe();
        if (violationCount_ > violationTexts_.size())
            ADD_FAILURE() << violationCount_ << " violations in all\n" << settings_.describe();
    }

    const testsupport::StressSettings& settings_;
    RunOptions options_;
    testsupport::StallWatchdog watchdog_;
    std::vector<std::unique_ptr<ModuleState>> modules_;
    Clock::time_point end_;
    testsupport::Census baseline_;

    mutable std::mutex lock_;
    std::map<aLinkRef, History> history_;
    std::deque<FilterRef> filterRefs_;
    std::map<std::string, std::map<std::string, uint64_t>> counters_;
    std::vector<std::string> violationTexts_;
    std::size_t violationCount_ = 0;
    std::atomic<uint64_t> installResults_[2] = {};
    std::atomic<uint64_t> partnerResets_[3] = {};
};

}  // namespace linkstress
