#include "Loader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "SimModule.h"

namespace modsim {

namespace {

enum Option : uint8_t { Init = 0, Data = 1, Load = 2, Prepare = 3, Sum = 4, Write = 5, Reboot = 6, Status = 7 };

constexpr uint32_t kLoadBase = 0x10000000;
constexpr std::size_t kMaxChunk = 26;
constexpr uint8_t kStatusRefused = 1;
constexpr uint8_t kStatusWriteFault = 3;

std::string hexWord(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

uint32_t bigEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

Loader::Loader(SimModule& module, const Options& options)
    : module_(module),
      pieceSize_(options.pieceSize),
      loadWay_(options.loadWay),
      dumpPath_(options.dumpImagePath),
      loaderRunning_(options.startInLoader) {}

void Loader::attach() {
    module_.onCommand(kLoaderCommand, [this](const Packet& packet) { handle(packet); });
}

void Loader::handle(const Packet& packet) {
    const uint8_t option = packet.data.size() > 1 ? packet.data[1] : 0xFF;
    switch (option) {
    case Init:
        return init();
    case Prepare:
        return prepare(packet);
    case Data:
        return data(packet);
    case Sum:
        return sum();
    case Write:
        return write(packet);
    case Load:
        return load();
    case Reboot:
        return reboot();
    default:
        event("unknown option " + hexByte(option));
    }
}

void Loader::reset() {
    initialised_ = false;
    loaderRunning_ = false;
    blockOpen_ = false;
    piece_.clear();
}

void Loader::init() {
    if (!loaderRunning_) initialised_ = true;
    piece_.clear();
    event("init");
    std::vector<uint8_t> data{kLoaderCommand, Init};
    for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(kLoadBase >> shift));
    reply(data);
}

void Loader::prepare(const Packet& packet) {
    if (packet.data.size() != 7) {
        event("prepare malformed");
        return status(kStatusRefused, {0, 0});
    }
    if (!loaderRunning_ && (faults_.refuse || !initialised_)) {
        event(faults_.refuse ? "prepare refused (fault refuse)" : "prepare refused: no init");
        return status(kStatusRefused, {0, 0});
    }
    const uint8_t flags = packet.data[2];
    blockAddress_ = bigEndian32(&packet.data[3]);
    blockOffset_ = 0;
    blockOpen_ = true;
    piece_.clear();
    if (loaderRunning_) blocks_[blockAddress_].clear();
    uint16_t size = pieceSize_;
    if (faults_.pieceZero && loaderRunning_) {
        faults_.pieceZero = false;
        size = 0;
        event("fault piece-zero");
    }
    event(std::string(loaderRunning_ ? "prepare firmware" : "prepare loader") + " at 0x" + hexWord(blockAddress_) +
          " flags " + std::to_string(flags) + " piece " + std::to_string(size));
    status(0, {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
}

void Loader::data(const Packet& packet) {
    const std::size_t n = packet.data.size() - 2;
    if (!blockOpen_ || n == 0 || n > kMaxChunk) {
        event("data refused: " + std::string(blockOpen_ ? "bad chunk length" : "no block prepared"));
        return reply({kLoaderCommand, Data, 0});
    }
    if (faults_.dropAfter && *faults_.dropAfter == 0) {
        faults_.dropAfter.reset();
        event("fault drop-after");
        return module_.restart(Restart::LinkLost);
    }
    if (faults_.dataCount) {
        faults_.dataCount = false;
        event("fault data-count");
        return reply({kLoaderCommand, Data, static_cast<uint8_t>(n - 1)});
    }
    if (faults_.dropAfter) --*faults_.dropAfter;
    piece_.insert(piece_.end(), packet.data.begin() + 2, packet.data.end());
    if (!loaderRunning_) loaderBytes_ += n;
    reply({kLoaderCommand, Data, static_cast<uint8_t>(n)});
}

void Loader::sum() {
    uint32_t total = 0;
    for (const uint8_t byte : piece_) total += byte;
    if (faults_.sum) {
        faults_.sum = false;
        ++total;
        event("fault sum");
    }
    event("sum " + hexWord(total) + " of " + std::to_string(piece_.size()) + " bytes");
    status(0, {static_cast<uint8_t>(total >> 24), static_cast<uint8_t>(total >> 16), static_cast<uint8_t>(total >> 8),
               static_cast<uint8_t>(total)});
}

void Loader::write(const Packet& packet) {
    const std::size_t length = packet.data.size() == 4 ? (packet.data[2] << 8 | packet.data[3]) : 0;
    std::vector<uint8_t> piece;
    piece.swap(piece_);
    if (!loaderRunning_ || !blockOpen_ || packet.data.size() != 4) {
        event(std::string("write refused: ") + (loaderRunning_ ? "no block prepared" : "loader not running"));
        return status(kStatusRefused);
    }
    if (faults_.write) {
        faults_.write = false;
        event("fault write");
        return status(kStatusWriteFault);
    }
    // The host names the piece's low 16 bits.
    if (length != (piece.size() & 0xFFFF)) {
        event("write refused: length " + std::to_string(length) + " of " + std::to_string(piece.size()) + " bytes");
        return status(kStatusRefused);
    }
    auto& block = blocks_[blockAddress_];
    if (block.size() < blockOffset_ + piece.size()) block.resize(blockOffset_ + piece.size());
    std::copy(piece.begin(), piece.end(), block.begin() + blockOffset_);
    event("write " + std::to_string(piece.size()) + " at 0x" + hexWord(blockAddress_ + blockOffset_));
    blockOffset_ += static_cast<uint32_t>(piece.size());
    status(0);
}

void Loader::load() {
    if (!loaderRunning_ && faults_.refuse) {
        event("load refused (fault refuse)");
        return;
    }
    event("load " + std::string(loadWayName(loadWay_)) + " after " + std::to_string(loaderBytes_) + " loader bytes");
    loaderRunning_ = true;
    blockOpen_ = false;
    piece_.clear();
    loaderBytes_ = 0;
    blocks_.clear();
    switch (loadWay_) {
    case LoadWay::Keep:
        return reply({kLoaderCommand, Load});
    case LoadWay::Reconnect:
        return module_.restart(Restart::IntoLoader);
    case LoadWay::Announce:
        return module_.restart(Restart::IntoAnnouncingLoader);
    case LoadWay::Gone:
        return module_.restart(Restart::Gone);
    }
}

void Loader::reboot() {
    const bool updated = loaderRunning_ && !blocks_.empty();
    event("reboot");
    if (updated && !dumpPath_.empty()) {
        std::string error;
        if (dump(dumpPath_, error)) {
            event("dump " + dumpPath_ + " " + std::to_string(image().size()) + " bytes");
        } else {
            event(error);
        }
    }
    reset();
    module_.reboot(updated);
}

std::vector<uint8_t> Loader::image() const {
    std::vector<uint8_t> all;
    for (const auto& block : blocks_) all.insert(all.end(), block.second.begin(), block.second.end());
    return all;
}

bool Loader::dump(const std::string& path, std::string& error) const {
    const auto bytes = image();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

void Loader::reply(std::vector<uint8_t> data) {
    module_.answer(Packet{module_.identity().address, std::move(data)});
}

void Loader::status(uint8_t code, const std::vector<uint8_t>& rest) {
    std::vector<uint8_t> data{kLoaderCommand, Status, code};
    data.insert(data.end(), rest.begin(), rest.end());
    reply(data);
}

void Loader::event(const std::string& text) {
    module_.log().event("loader " + hexByte(module_.identity().address) + " " + text);
}

}  // namespace modsim
