// The module's loader entity on command 0x5F. Every message is [0x5F, option, ...]:
//   INIT    5F 00             -> 5F 00 base(4)
//   PREPARE 5F 03 flags A(4)  -> 5F 07 status piece(2)
//   DATA    5F 01 bytes(1-26) -> 5F 01 count
//   SUM     5F 04             -> 5F 07 status sum(4)     byte sum of the piece so far
//   WRITE   5F 05 length(2)   -> 5F 07 status            commits the piece
//   LOAD    5F 02             -> 5F 02                   restart into the loader
//   REBOOT  5F 06             -> nothing                 restart into the new firmware
// While the running firmware takes the loader (INIT, PREPARE, DATA, SUM, LOAD), images are
// only counted; once the loader runs, committed pieces rebuild the firmware image per block
// load address.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Options.h"
#include "Packet.h"

namespace modsim {

class SimModule;

constexpr uint8_t kLoaderCommand = 0x5F;

// Loader faults, each taken once except `refuse`.
struct LoaderFaults {
    bool dataCount = false;             // a DATA reply counts one byte short; the chunk is not taken
    bool sum = false;                   // a SUM reply's sum is one too high
    bool write = false;                 // a WRITE is answered with status 3; the piece is not committed
    bool pieceZero = false;             // a PREPARE answer names piece size 0
    std::optional<unsigned> dropAfter;  // after this many more DATA chunks the link breaks
    bool refuse = false;                // the running firmware refuses the loader
};

class Loader {
public:
    Loader(SimModule& module, const Options& options);

    void attach();
    void handle(const Packet& packet);

    LoaderFaults& faults() { return faults_; }
    void setLoadWay(LoadWay way) { loadWay_ = way; }
    LoadWay loadWay() const { return loadWay_; }
    bool running() const { return loaderRunning_; }
    // Back to the running firmware with nothing received.
    void reset();

    // The firmware image: each block's committed bytes, blocks in load-address order.
    std::vector<uint8_t> image() const;
    // Writes image() to `path`; false with a message in `error`.
    bool dump(const std::string& path, std::string& error) const;

private:
    void init();
    void prepare(const Packet& packet);
    void data(const Packet& packet);
    void sum();
    void write(const Packet& packet);
    void load();
    void reboot();
    void reply(std::vector<uint8_t> data);
    void status(uint8_t code, const std::vector<uint8_t>& rest = {});
    void event(const std::string& text);

    SimModule& module_;
    uint16_t pieceSize_;
    LoadWay loadWay_;
    std::string dumpPath_;
    LoaderFaults faults_;
    bool initialised_ = false;  // INIT seen by the running firmware
    bool loaderRunning_ = false;
    bool blockOpen_ = false;  // a PREPARE named the block that DATA fills
    uint32_t blockAddress_ = 0;
    uint32_t blockOffset_ = 0;    // committed bytes of the open block
    std::vector<uint8_t> piece_;  // bytes since the last PREPARE or WRITE
    std::size_t loaderBytes_ = 0;
    std::map<uint32_t, std::vector<uint8_t>> blocks_;
};

}  // namespace modsim
