// The chip side of the LPC17xx ISP: sync handshake, echo, text commands with their
// return codes, uuencoded RAM writes and memory reads with checksums, blank check and
// compare, and a 512 KB flash image.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Faults.h"

namespace lpcsim {

class Chip {
public:
    static const uint32_t FLASH_SIZE = 0x80000;
    static const uint32_t RAM_START = 0x10000000;
    static const uint32_t RAM_SIZE = 0x8000;

    // `send` takes every byte the chip puts on the line.
    Chip(std::function<void(const std::string&)> send, std::array<uint32_t, 4> deviceId, uint8_t flashFill);

    void receive(uint8_t byte);
    // Sends the answer a hold fault kept back, then takes the bytes that arrived meanwhile,
    // as a chip that was busy takes what its receiver buffered.
    void release();
    bool holding() const { return holding_; }
    Faults& faults() { return faults_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    // Events worth a line on the diagnostic output ("sync", "erase 0 1", ...).
    std::function<void(const std::string&)> onEvent;
    // The host's current line rate. The ROM measures the rate on "?" and from then on
    // understands only that rate: bytes sent at another rate are lost.
    std::function<uint32_t()> lineRate;

private:
    enum class State { Unsynced, AwaitSynchronized, AwaitCrystal, Command, WriteData, ReadAnswer };

    void lineComplete(const std::string& line);
    void command(const std::string& line);
    void writeDataLine(const std::string& line);
    void answer(int code);
    void event(const std::string& text);
    int sectorOf(uint32_t address) const;
    int prepareErase(char letter, const std::vector<long>& args);
    int copyToFlash(const std::vector<long>& args);
    int startWrite(const std::vector<long>& args);
    // Memory as the ISP maps it: flash from 0, RAM from RAM_START; null outside both.
    uint8_t* mapped(long address, long count);
    int startRead(const std::vector<long>& args);
    void sendReadBlock();
    void readAnswer(const std::string& line);
    void blankCheck(const std::vector<long>& args);
    void compare(const std::vector<long>& args);

    std::function<void(const std::string&)> wire_;
    // Every byte the chip sends; kept back while a command is held.
    std::function<void(const std::string&)> send_;
    bool holding_ = false;
    std::string heldOutput_;
    std::string heldInput_;
    std::array<uint32_t, 4> deviceId_;
    Faults faults_;
    State state_ = State::Unsynced;
    std::string line_;
    bool echo_ = true;
    bool unlocked_ = false;
    bool silenced_ = false;  // the current line is being ignored by a silent fault
    uint32_t syncedRate_ = 0;
    bool rateMismatch_ = false;
    std::array<bool, 30> prepared_{};
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;

    uint32_t writeAddress_ = 0;
    uint32_t writeCount_ = 0;
    uint32_t writePosition_ = 0;
    uint32_t writeCheckpoint_ = 0;
    uint32_t writeLines_ = 0;

    const uint8_t* readData_ = nullptr;
    uint32_t readCount_ = 0;
    uint32_t readPosition_ = 0;  // first byte of the block being sent
    uint32_t readBlockEnd_ = 0;
};

}  // namespace lpcsim
