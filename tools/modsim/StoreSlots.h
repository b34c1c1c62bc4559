// Store slots on command 4: byte files in numbered slots of numbered stores, moved by
// opening a slot, reading or writing it 25 bytes at a time, and closing it.
//   capacity [4, 1, store, slot]       -> [4, 1, store, slot, cap hi, cap lo]
//   size     [4, 2, store, slot]       -> [4, 2, store, slot, size hi, size lo]
//   open     [4, 3|4, store, slot]     -> [4, 3|4, store, slot, handle]   (3 read, 4 write)
//   read     [4, 6, handle]            -> [4, 6, handle, up to 25 bytes]  (error 10 at the end)
//   write    [4, 7, handle, 1-25 bytes] -> [4, 7, handle, byte sum]
//   close    [4, 8, handle]            -> [4, 8, handle, 0]
// Error replies set 0x80 in byte 1 and carry the code in byte 4 (requests naming a slot)
// or byte 3 (requests naming a handle).
//
// Store 0 has slots 0-7 of 1024 bytes, store 1 slots 0-3 of 32 bytes; all start empty.
// Opening for writing empties the slot. Four handles (1-4) can be open at once.
#pragma once

#include <array>
#include <map>
#include <vector>

#include "CountedFault.h"
#include "SimModule.h"

namespace modsim {

constexpr uint8_t kStoreCommand = 4;

class StoreSlots {
public:
    explicit StoreSlots(SimModule& module);
    StoreSlots(const StoreSlots&) = delete;
    StoreSlots& operator=(const StoreSlots&) = delete;

    void attach();
    // "fault slot error|error-short|error-long|silent|sum|size AFTER [CODE]": the store
    // request AFTER requests from now gets an error reply (shaped as CountedFault.h
    // says), no reply, a write sum one too high, or a size 10 bytes larger than the slot
    // holds. "fault slot no-close AFTER": the close AFTER closes from now goes unanswered.
    std::string fault(const std::vector<std::string>& words);

private:
    struct Slot {
        std::size_t capacity = 0;
        std::vector<uint8_t> bytes;
    };
    struct Handle {
        Slot* slot = nullptr;
        bool writing = false;
        std::size_t position = 0;
    };

    void handle(const Packet& packet);
    void answerSlot(const std::vector<uint8_t>& data, bool sizeFault);
    void answerHandle(const std::vector<uint8_t>& data, bool sumFault);
    void reply(std::vector<uint8_t> data);
    void error(const std::vector<uint8_t>& data, uint8_t code, ErrorShape shape = ErrorShape::Normal);
    Slot* findSlot(uint8_t store, uint8_t slot);

    SimModule& module_;
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    std::map<uint8_t, Handle> handles_;
    CountedFault errorFault_;
    CountedFault silentFault_;
    CountedFault sumFault_;
    CountedFault sizeFault_;
    CountedFault noCloseFault_;
    bool silent_ = false;
};

}  // namespace modsim
