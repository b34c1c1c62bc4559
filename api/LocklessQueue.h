// A fixed-size queue for exactly one producer thread and one consumer thread, without
// locks: each index is written by one side only, and the slot at readIndex is never
// written, so a queue of capacity C holds at most C - 1 items.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace Veltrane {

template <typename T>
class LocklessQueue_SPSC {
public:
    explicit LocklessQueue_SPSC(uint32_t count)
        : capacity(static_cast<uint16_t>(count & 0xFFFF)), items(new T[capacity == 0 ? 1 : capacity]()) {}
    ~LocklessQueue_SPSC() { delete[] items; }
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    bool push(T item) {
        const uint16_t next = _increment(writeIndex.load());
        if (next == readIndex.load()) return false;
        items[next] = std::move(item);
        writeIndex.store(next);
        return true;
    }

    bool pop(T* item) {
        const uint16_t read = readIndex.load();
        if (read == writeIndex.load()) return false;
        const uint16_t next = _increment(read);
        readIndex.store(next);
        *item = std::move(items[next]);
        return true;
    }

    uint16_t _increment(uint16_t i) const {
        const uint32_t next = i + 1u;
        return next < capacity ? static_cast<uint16_t>(next) : 0;
    }

private:
    uint16_t capacity;
    T* items;
    std::atomic<uint16_t> writeIndex{0};
    std::atomic<uint16_t> readIndex{0};
};

}  // namespace Veltrane
