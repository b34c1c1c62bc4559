// Waits for the end of a callback thread without closing a circle: callbacks of two
// Links may each end the other Link's callback thread, and two threads that each wait
// for the other to end never would.
#pragma once

#include <future>
#include <thread>

namespace Veltrane {
namespace Corvalith {

// Waits until `done` (the end of thread `target`) is ready and answers true. With
// `mayDecline`, answers false at once instead when `target` is waiting, itself or
// through threads it waits for, for the calling thread: the caller must then leave
// `target` to end on its own. Two such waits on each other are never both begun.
bool streamTable_AwaitThreadEnd(std::thread::id target, const std::shared_future<void>& done, bool mayDecline);

}  // namespace Corvalith
}  // namespace Veltrane
