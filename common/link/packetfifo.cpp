#include "packetfifo.h"

#include <atomic>
#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <thread>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;

class SerialPacket {
public:
    SerialPacket(int64_t sequence, OwnedPacket packet) : sequence_(sequence), packet_(std::move(packet)) {}
    int64_t getId() const { return sequence_; }
    const aPacket* getPacket() const { return packet_.get(); }

private:
    int64_t sequence_;
    OwnedPacket packet_;
};

// Keeps, under mutex, sequences rising from front to back and windowStart equal to the
// front's sequence (nextId when empty).
class packetFifo {
public:
    using Position = std::deque<SerialPacket>::iterator;

    std::deque<SerialPacket> packets;
    std::condition_variable condition;
    std::mutex mutex;
    std::atomic<bool> alive{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};
    std::atomic<uint64_t> wakes{0};  // raised by aPacketFifo_WakeWaiters

    void clearAndSyncWindow() {
        packets.clear();
        windowStart = nextId.load();
    }

    void eraseAndSyncWindow(Position first, Position last) {
        packets.erase(first, last);
        syncWindow();
    }

    void eraseAndSyncWindow(Position position) { eraseAndSyncWindow(position, position + 1); }

    void syncWindow() { windowStart = packets.empty() ? nextId.load() : packets.front().getId(); }
};

using FifoHandle = std::shared_ptr<packetFifo>;

struct FifoDictionary {
    std::mutex mutex;
    std::map<uint64_t, FifoHandle> fifos;
};

std::atomic<uint64_t> gpSequentialId{1};

// Link threads may still use their queues while the process exits, so the dictionary is
// made on first use and intentionally never destroyed.
FifoDictionary& sDictionary() {
    static FifoDictionary* dictionary = new FifoDictionary;
    return *dictionary;
}

FifoHandle sGetFifo(uint64_t id) {
    FifoDictionary& dictionary = sDictionary();
    std::lock_guard<std::mutex> lock(dictionary.mutex);
    auto found = dictionary.fifos.find(id);
    return found == dictionary.fifos.end() ? nullptr : found->second;
}

FifoHandle sExtractFifo(uint64_t id) {
    FifoDictionary& dictionary = sDictionary();
    std::lock_guard<std::mutex> lock(dictionary.mutex);
    auto found = dictionary.fifos.find(id);
    if (found == dictionary.fifos.end()) return nullptr;
    FifoHandle fifo = std::move(found->second);
    dictionary.fifos.erase(found);
    return fifo;
}

// now + timeoutMS, saturated at the clock's end so a huge time-out means "no time-out".
Clock::time_point sDeadline(uint64_t timeoutMS) {
    const Clock::time_point now = Clock::now();
    const auto headroom = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    if (timeoutMS >= static_cast<uint64_t>(headroom.count())) return Clock::time_point::max();
    return now + std::chrono::milliseconds(static_cast<int64_t>(timeoutMS));
}

// Under the queue's mutex: a copy of the packet at position, which is then erased; on a
// failed copy NULL, and the packet stays queued.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Position position) {
    aPacket* copy = aPacket_Copy(position->getPacket());
    if (copy != nullptr) fifo.eraseAndSyncWindow(position);
    return copy;
}

// A waiter that sleeps at once pays the scheduler's wake-up latency on every packet,
// several times the round trip to a module on loopback. So it first watches the
// queue's put counter for a short while, unlocked, and sleeps only when nothing came.
// The watch yields the processor at each look, so on a busy machine the threads that
// would send the packet are not kept from running.
const auto ARRIVAL_SPIN = std::chrono::microseconds(200);

void sSpinForArrival(std::unique_lock<std::mutex>& lock, packetFifo& fifo, Clock::time_point deadline) {
    const int64_t seen = fifo.nextId.load();
    const uint64_t wakes = fifo.wakes.load();
    lock.unlock();
    const Clock::time_point spinEnd = std::min(deadline, Clock::now() + ARRIVAL_SPIN);
    while (fifo.nextId.load() == seen && fifo.wakes.load() == wakes && fifo.alive && Clock::now() < spinEnd)
        std::this_thread::yield();
    lock.lock();
}

// Waits until the queue holds a packet; with `take` the oldest is removed and returned
// through `taken`. The result tells whether the queue held one.
bool _waitUntilNotEmpty(packetFifo& fifo, uint64_t timeoutMS, bool take, aPacket** taken) {
    const Clock::time_point deadline = sDeadline(timeoutMS);
    std::unique_lock<std::mutex> lock(fifo.mutex);
    const uint64_t wakes = fifo.wakes.load();
    auto ready = [&fifo, wakes] { return !fifo.packets.empty() || !fifo.alive || fifo.wakes.load() != wakes; };
    if (!ready()) {
        if (take) sSpinForArrival(lock, fifo, deadline);
        fifo.condition.wait_until(lock, deadline, ready);
    }
    if (fifo.packets.empty()) return false;
    if (take) *taken = _stealPacketFromFifo(fifo, fifo.packets.begin());
    return true;
}

aPacket* _waitUntilProcIsSatisfied(packetFifo& fifo, aPacketFilterProc proc, const void* ref, uint64_t timeoutMS) {
    const Clock::time_point deadline = sDeadline(timeoutMS);
    std::unique_lock<std::mutex> lock(fifo.mutex);
    const uint64_t wakes = fifo.wakes.load();
    // Everything queued now is unseen; after that only sequences above lastSeen are offered.
    int64_t lastSeen = fifo.windowStart - 1;
    // Only valid when found: the evaluation that sets it ends the wait, still under the lock.
    packetFifo::Position accepted;
    bool found = false;
    auto satisfied = [&] {
        for (auto position = fifo.packets.begin(); position != fifo.packets.end(); ++position) {
            if (position->getId() - lastSeen <= 0) continue;
            lastSeen = position->getId();
            if (proc(position->getPacket(), ref) != 0) {
                accepted = position;
                found = true;
                return true;
            }
        }
        return !fifo.alive || fifo.wakes.load() != wakes;
    };
    if (!satisfied()) {
        sSpinForArrival(lock, fifo, deadline);
        fifo.condition.wait_until(lock, deadline, satisfied);
    }
    return found ? _stealPacketFromFifo(fifo, accepted) : nullptr;
}

}  // namespace

uint64_t aPacketFifo_Create() {
    try {
        FifoDictionary& dictionary = sDictionary();
        std::lock_guard<std::mutex> lock(dictionary.mutex);
        uint64_t id = 0;
        do {
            id = gpSequentialId++;
        } while (id == 0 || dictionary.fifos.count(id) != 0);
        dictionary.fifos.emplace(id, std::make_shared<packetFifo>());
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_WakeWaiters(uint64_t id) {
    try {
        FifoHandle fifo = sGetFifo(id);
        if (!fifo) return aErrNotFound;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->wakes++;
        }
        fifo->condition.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

aErr aPacketFifo_Destroy(uint64_t* id) {
    if (id == nullptr) return aErrParam;
    try {
        FifoHandle fifo = sExtractFifo(*id);
        if (!fifo) return aErrNotFound;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->condition.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

uint64_t aPacketFifo_GetLength(uint64_t id) {
    try {
        FifoHandle fifo = sGetFifo(id);
        if (!fifo) return 0;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        return fifo->packets.size();
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Put(uint64_t id, const aPacket* packet) {
    FifoHandle fifo;
    try {
        fifo = sGetFifo(id);
    } catch (...) {
        return aErrResource;
    }
    if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
    try {
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            // A put racing with destroy finds the queue as good as absent.
            if (!fifo->alive) return aErrParam;
            const int64_t sequence = fifo->nextId++;
            OwnedPacket copy(aPacket_Copy(packet));
            if (!copy) return aErrParam;
            fifo->packets.emplace_back(sequence, std::move(copy));
            fifo->syncWindow();
            if (fifo->packets.size() > aPACKETFIFO_MAX_PACKETS) {
                fifo->clearAndSyncWindow();
                return aErrNone;
            }
        }
        fifo->condition.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

aPacket* aPacketFifo_Get(uint64_t id) {
    try {
        FifoHandle fifo = sGetFifo(id);
        if (!fifo) return nullptr;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        if (fifo->packets.empty()) return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_Await(uint64_t id, uint64_t timeoutMS) {
    try {
        FifoHandle fifo = sGetFifo(id);
        aPacket* packet = nullptr;
        if (fifo) _waitUntilNotEmpty(*fifo, timeoutMS, true, &packet);
        return packet;
    } catch (...) {
        return nullptr;
    }
}

bool aPacketFifo_AwaitQueued(uint64_t id, uint64_t timeoutMS) {
    try {
        FifoHandle fifo = sGetFifo(id);
        return fifo && _waitUntilNotEmpty(*fifo, timeoutMS, false, nullptr);
    } catch (...) {
        return false;
    }
}

aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilterProc proc, const void* ref) {
    if (proc == nullptr) return nullptr;
    try {
        FifoHandle fifo = sGetFifo(id);
        if (!fifo) return nullptr;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        for (auto position = fifo->packets.begin(); position != fifo->packets.end(); ++position)
            if (proc(position->getPacket(), ref) != 0) return _stealPacketFromFifo(*fifo, position);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilterProc proc, const void* ref, uint64_t timeoutMS) {
    if (proc == nullptr) return nullptr;
    try {
        FifoHandle fifo = sGetFifo(id);
        return fifo ? _waitUntilProcIsSatisfied(*fifo, proc, ref, timeoutMS) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

uint64_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilterProc proc, const void* ref) {
    if (proc == nullptr) return 0;
    try {
        FifoHandle fifo = sGetFifo(id);
        if (!fifo) return 0;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        auto& packets = fifo->packets;
        const size_t before = packets.size();
        // Compact the kept packets towards the front; overwritten and tail elements are
        // the accepted ones, destroyed with their element.
        size_t kept = 0;
        for (size_t i = 0; i < before; ++i) {
            if (proc(packets[i].getPacket(), ref) != 0) continue;
            if (kept != i) packets[kept] = std::move(packets[i]);
            ++kept;
        }
        fifo->eraseAndSyncWindow(packets.begin() + static_cast<std::ptrdiff_t>(kept), packets.end());
        return before - packets.size();
    } catch (...) {
        return 0;
    }
}
