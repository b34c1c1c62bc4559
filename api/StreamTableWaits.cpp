// Who waits for which callback thread to end, across all Links of the process.
#include "StreamTableWaits.h"

#include <map>
#include <mutex>

namespace Veltrane {
namespace Corvalith {

namespace {

// Each waiting thread waits for one thread at a time.
std::mutex& waitLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::thread::id, std::thread::id>& waitingFor() {
    static std::map<std::thread::id, std::thread::id> waits;
    return waits;
}

bool waitsFor(std::thread::id from, std::thread::id wanted) {
    const auto& waits = waitingFor();
    // Every hop follows a different waiting thread, so the walk ends.
    for (std::size_t hops = 0; hops <= waits.size(); ++hops) {
        const auto next = waits.find(from);
        if (next == waits.end()) return false;
        if (next->second == wanted) return true;
        from = next->second;
    }
    return false;
}

}  // namespace

bool streamTable_AwaitThreadEnd(std::thread::id target, const std::shared_future<void>& done, bool mayDecline) {
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> guard(waitLock());
        if (mayDecline && done.wait_for(std::chrono::seconds(0)) != std::future_status::ready && waitsFor(target, self))
            return false;
        waitingFor()[self] = target;
    }
    done.wait();
    std::lock_guard<std::mutex> guard(waitLock());
    waitingFor().erase(self);
    return true;
}

}  // namespace Corvalith
}  // namespace Veltrane
