#include "Chip.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace lpcsim {
namespace {

const int CMD_SUCCESS = 0;
const int INVALID_COMMAND = 1;
const int SRC_ADDR_ERROR = 2;
const int DST_ADDR_ERROR = 3;
const int SRC_ADDR_NOT_MAPPED = 4;
const int DST_ADDR_NOT_MAPPED = 5;
const int COUNT_ERROR = 6;
const int INVALID_SECTOR = 7;
const int SECTOR_NOT_BLANK = 8;
const int SECTOR_NOT_PREPARED = 9;
const int COMPARE_ERROR = 10;
const int PARAM_ERROR = 12;
const int ADDR_ERROR = 13;
const int ADDR_NOT_MAPPED = 14;
const int CMD_LOCKED = 15;
const int INVALID_CODE = 16;
const int INVALID_BAUD_RATE = 17;
const long UNLOCK_CODE = 23130;
const uint32_t DATA_BYTES_PER_LINE = 45;
const uint32_t LINES_PER_CHECKSUM = 20;

// Splits "P 0 1" into its letter and decimal numbers; false when a field is not a number.
bool parseCommand(const std::string& line, char& letter, std::vector<long>& args, std::string& tail) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> word) || word.size() != 1) return false;
    letter = word[0];
    while (in >> word) {
        char* end = nullptr;
        const long value = std::strtol(word.c_str(), &end, 10);
        if (*end != '\0') {
            tail = word;
            return !(in >> word);
        }
        args.push_back(value);
    }
    return true;
}

// Decodes one uuencoded line; false when it is malformed.
bool uudecodeLine(const std::string& line, std::vector<uint8_t>& out) {
    out.clear();
    if (line.empty()) return false;
    const size_t n = (static_cast<uint8_t>(line[0]) - 0x20) & 0x3F;
    if (line.size() < 1 + 4 * ((n + 2) / 3)) return false;
    for (size_t at = 1; out.size() < n; at += 4) {
        uint32_t g = 0;
        for (size_t i = 0; i < 4; ++i) g = (g << 6) | ((static_cast<uint8_t>(line[at + i]) - 0x20) & 0x3F);
        for (int shift = 16; shift >= 0 && out.size() < n; shift -= 8) out.push_back(static_cast<uint8_t>(g >> shift));
    }
    return true;
}

std::string uuencodeLine(const uint8_t* bytes, size_t n) {
    auto character = [](uint32_t v) { return static_cast<char>((v & 0x3F) == 0 ? '`' : (v & 0x3F) + 0x20); };
    std::string line(1, character(static_cast<uint32_t>(n)));
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t g = (uint32_t(bytes[i]) << 16) | (uint32_t(i + 1 < n ? bytes[i + 1] : 0) << 8) |
                           uint32_t(i + 2 < n ? bytes[i + 2] : 0);
        for (int shift = 18; shift >= 0; shift -= 6) line += character(g >> shift);
    }
    return line;
}

uint32_t littleEndianWord(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

}  // namespace

Chip::Chip(std::function<void(const std::string&)> send, std::array<uint32_t, 4> deviceId, uint8_t flashFill)
    : wire_(std::move(send)), deviceId_(deviceId), flash_(FLASH_SIZE, flashFill), ram_(RAM_SIZE, 0) {
    send_ = [this](const std::string& bytes) {
        if (holding_)
            heldOutput_ += bytes;
        else
            wire_(bytes);
    };
}

void Chip::release() {
    if (!holding_) return;
    holding_ = false;
    event("release");
    std::string output;
    output.swap(heldOutput_);
    wire_(output);
    std::string input;
    input.swap(heldInput_);
    for (const char byte : input) receive(static_cast<uint8_t>(byte));
}

void Chip::event(const std::string& text) {
    if (onEvent) onEvent(text);
}

void Chip::answer(int code) {
    send_(std::to_string(code) + "\r\n");
}

void Chip::receive(uint8_t byte) {
    if (holding_) {
        if (heldInput_.size() < RAM_SIZE) heldInput_ += static_cast<char>(byte);
        return;
    }
    const uint32_t rate = lineRate ? lineRate() : 0;
    if (state_ != State::Unsynced && rate != syncedRate_) {
        if (!rateMismatch_) {
            event("bytes at " + std::to_string(rate) + " baud lost, synchronised at " + std::to_string(syncedRate_));
        }
        rateMismatch_ = true;
        return;
    }
    rateMismatch_ = false;
    if (state_ == State::Unsynced) {
        if (byte != '?') return;
        syncedRate_ = rate;
        if (faults_.strike(FaultKind::Silent, '?')) {
            event("sync ignored");
            return;
        }
        send_("Synchronized\r\n");
        event("sync at " + std::to_string(rate) + " baud");
        state_ = State::AwaitSynchronized;
        line_.clear();
        return;
    }
    if (line_.empty() && state_ != State::WriteData) {
        // A silent fault swallows the whole command, echo included.
        silenced_ = state_ == State::Command && faults_.strike(FaultKind::Silent, static_cast<char>(byte)) != nullptr;
        if (silenced_) event(std::string("silent ") + static_cast<char>(byte));
    }
    const bool handshake = state_ == State::AwaitSynchronized || state_ == State::AwaitCrystal;
    if ((echo_ || handshake) && !silenced_) send_(std::string(1, static_cast<char>(byte)));
    if (byte != '\n') {
        if (line_.size() < 4096) line_ += static_cast<char>(byte);
        return;
    }
    std::string line = line_;
    line_.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (silenced_) {
        silenced_ = false;
        return;
    }
    lineComplete(line);
}

void Chip::lineComplete(const std::string& line) {
    switch (state_) {
    case State::Unsynced:
        break;
    case State::AwaitSynchronized:
        if (line == "Synchronized") {
            send_("OK\r\n");
            state_ = State::AwaitCrystal;
        } else {
            state_ = State::Unsynced;
        }
        break;
    case State::AwaitCrystal:
        send_("OK\r\n");
        state_ = State::Command;
        event("sync crystal " + line);
        break;
    case State::Command:
        command(line);
        break;
    case State::WriteData:
        writeDataLine(line);
        break;
    case State::ReadAnswer:
        readAnswer(line);
        break;
    }
}

int Chip::sectorOf(uint32_t address) const {
    if (address < 0x10000) return static_cast<int>(address / 0x1000);
    if (address < FLASH_SIZE) return static_cast<int>(16 + (address - 0x10000) / 0x8000);
    return -1;
}

void Chip::command(const std::string& line) {
    char letter = 0;
    std::vector<long> args;
    std::string tail;
    if (!parseCommand(line, letter, args, tail)) {
        event("invalid command " + line);
        answer(INVALID_COMMAND);
        return;
    }
    if (const Fault* fault = faults_.strike(FaultKind::ReturnCode, letter)) {
        event("rc " + std::string(1, letter) + " " + std::to_string(fault->code));
        answer(fault->code);
        return;
    }
    event("command " + line);
    if (faults_.strike(FaultKind::Hold, letter)) {
        holding_ = true;
        event("hold " + std::string(1, letter));
    }
    switch (letter) {
    case 'U':
        if (args.size() != 1) return answer(PARAM_ERROR);
        if (args[0] != UNLOCK_CODE) return answer(INVALID_CODE);
        unlocked_ = true;
        return answer(CMD_SUCCESS);
    case 'A':
        if (args.size() != 1 || args[0] < 0 || args[0] > 1) return answer(PARAM_ERROR);
        answer(CMD_SUCCESS);
        echo_ = args[0] == 1;
        return;
    case 'B': {
        static const long RATES[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
        if (args.size() != 2) return answer(PARAM_ERROR);
        bool known = false;
        for (long rate : RATES) known = known || rate == args[0];
        if (!known) return answer(INVALID_BAUD_RATE);
        return answer(args[1] == 1 || args[1] == 2 ? CMD_SUCCESS : 18);
    }
    case 'N':
        if (!args.empty()) return answer(PARAM_ERROR);
        answer(CMD_SUCCESS);
        for (uint32_t word : deviceId_) send_(std::to_string(word) + "\r\n");
        return;
    case 'K':
        answer(CMD_SUCCESS);
        send_("4\r\n1\r\n");
        return;
    case 'J':
        answer(CMD_SUCCESS);
        send_("638664503\r\n");
        return;
    case 'P':
    case 'E':
        return answer(prepareErase(letter, args));
    case 'C':
        return answer(copyToFlash(args));
    case 'W': {
        const int code = startWrite(args);
        answer(code);
        if (code == CMD_SUCCESS) state_ = State::WriteData;
        return;
    }
    case 'R': {
        const int code = startRead(args);
        answer(code);
        if (code == CMD_SUCCESS) sendReadBlock();
        return;
    }
    case 'I':
        return blankCheck(args);
    case 'M':
        return compare(args);
    case 'G':
        if (args.size() != 1 || tail != "T") return answer(PARAM_ERROR);
        if (!unlocked_) return answer(CMD_LOCKED);
        answer(CMD_SUCCESS);
        event("execute " + std::to_string(args[0]));
        return;
    default:
        return answer(INVALID_COMMAND);
    }
}

int Chip::prepareErase(char letter, const std::vector<long>& args) {
    if (args.size() != 2) return PARAM_ERROR;
    if (args[0] < 0 || args[1] < args[0] || args[1] >= static_cast<long>(prepared_.size())) return INVALID_SECTOR;
    if (letter == 'P') {
        for (long s = args[0]; s <= args[1]; ++s) prepared_[s] = true;
        return CMD_SUCCESS;
    }
    if (!unlocked_) return CMD_LOCKED;
    for (long s = args[0]; s <= args[1]; ++s) {
        if (!prepared_[s]) return SECTOR_NOT_PREPARED;
    }
    for (long s = args[0]; s <= args[1]; ++s) {
        const uint32_t start = s < 16 ? s * 0x1000 : 0x10000 + (s - 16) * 0x8000;
        const uint32_t size = s < 16 ? 0x1000 : 0x8000;
        std::fill(flash_.begin() + start, flash_.begin() + start + size, 0xFF);
    }
    prepared_.fill(false);
    return CMD_SUCCESS;
}

int Chip::copyToFlash(const std::vector<long>& args) {
    if (args.size() != 3) return PARAM_ERROR;
    if (!unlocked_) return CMD_LOCKED;
    const long flash = args[0], ram = args[1], count = args[2];
    if (flash % 256 != 0) return DST_ADDR_ERROR;
    if (ram % 4 != 0) return SRC_ADDR_ERROR;
    if (count != 256 && count != 512 && count != 1024 && count != 4096) return COUNT_ERROR;
    if (flash < 0 || flash + count > static_cast<long>(FLASH_SIZE)) return DST_ADDR_NOT_MAPPED;
    if (ram < static_cast<long>(RAM_START) || ram + count > static_cast<long>(RAM_START + RAM_SIZE)) {
        return SRC_ADDR_NOT_MAPPED;
    }
    for (int s = sectorOf(flash); s <= sectorOf(flash + count - 1); ++s) {
        if (!prepared_[s]) return SECTOR_NOT_PREPARED;
    }
    // Programming only clears bits, as flash does.
    for (long i = 0; i < count; ++i) flash_[flash + i] &= ram_[ram - RAM_START + i];
    prepared_.fill(false);
    return CMD_SUCCESS;
}

int Chip::startWrite(const std::vector<long>& args) {
    if (args.size() != 2) return PARAM_ERROR;
    const long address = args[0], count = args[1];
    if (address % 4 != 0) return ADDR_ERROR;
    if (count <= 0 || count % 4 != 0) return COUNT_ERROR;
    if (address < static_cast<long>(RAM_START) || address + count > static_cast<long>(RAM_START + RAM_SIZE)) {
        return ADDR_NOT_MAPPED;
    }
    writeAddress_ = static_cast<uint32_t>(address - RAM_START);
    writeCount_ = static_cast<uint32_t>(count);
    writePosition_ = writeCheckpoint_ = writeLines_ = 0;
    return CMD_SUCCESS;
}

void Chip::writeDataLine(const std::string& line) {
    const bool checksumDue = writeLines_ == LINES_PER_CHECKSUM || writePosition_ >= writeCount_;
    if (!checksumDue) {
        std::vector<uint8_t> bytes;
        // A malformed line still counts; the checksum will reject the block.
        if (uudecodeLine(line, bytes) && bytes.size() <= writeCount_ - writePosition_) {
            std::copy(bytes.begin(), bytes.end(), ram_.begin() + writeAddress_ + writePosition_);
            writePosition_ += static_cast<uint32_t>(bytes.size());
        } else {
            writePosition_ = writeCount_;
        }
        ++writeLines_;
        return;
    }
    uint32_t sum = 0;
    for (uint32_t i = writeCheckpoint_; i < writePosition_; ++i) sum += ram_[writeAddress_ + i];
    const bool good = line == std::to_string(sum);
    writeLines_ = 0;
    const Fault* fault = faults_.strikeChecksum();
    if (fault && fault->kind == FaultKind::ChecksumPass) fault = nullptr;
    if (fault && fault->kind == FaultKind::ChecksumSilent) {
        event("checksum silent");
        state_ = State::Command;
        return;
    }
    if (fault && fault->kind == FaultKind::ChecksumWrong) {
        event("checksum wrong");
        send_("ERROR\r\n");
        state_ = State::Command;
        return;
    }
    if (!good || fault) {
        event(good ? "checksum resend" : "checksum mismatch");
        send_("RESEND\r\n");
        writePosition_ = writeCheckpoint_;
        return;
    }
    send_("OK\r\n");
    writeCheckpoint_ = writePosition_;
    if (writePosition_ >= writeCount_) {
        state_ = State::Command;
        event("write done " + std::to_string(writeCount_));
    }
}

uint8_t* Chip::mapped(long address, long count) {
    if (address < 0 || count < 0) return nullptr;
    if (address + count <= static_cast<long>(FLASH_SIZE)) return flash_.data() + address;
    if (address >= static_cast<long>(RAM_START) && address + count <= static_cast<long>(RAM_START + RAM_SIZE)) {
        return ram_.data() + (address - RAM_START);
    }
    return nullptr;
}

int Chip::startRead(const std::vector<long>& args) {
    if (args.size() != 2) return PARAM_ERROR;
    const long address = args[0], count = args[1];
    if (address % 4 != 0) return ADDR_ERROR;
    if (count <= 0 || count % 4 != 0) return COUNT_ERROR;
    const uint8_t* data = mapped(address, count);
    if (!data) return ADDR_NOT_MAPPED;
    readData_ = data;
    readCount_ = static_cast<uint32_t>(count);
    readPosition_ = 0;
    return CMD_SUCCESS;
}

// Up to 20 data lines from the current position, then their checksum; the host answers
// OK (next block) or RESEND (the same block again).
void Chip::sendReadBlock() {
    uint32_t at = readPosition_;
    for (uint32_t lines = 0; lines < LINES_PER_CHECKSUM && at < readCount_; ++lines) {
        const uint32_t n = std::min(DATA_BYTES_PER_LINE, readCount_ - at);
        send_(uuencodeLine(readData_ + at, n) + "\r\n");
        at += n;
    }
    uint32_t sum = 0;
    for (uint32_t i = readPosition_; i < at; ++i) sum += readData_[i];
    if (const Fault* fault = faults_.strikeChecksum()) {
        if (fault->kind == FaultKind::ChecksumWrong) {
            event("read checksum wrong");
            sum += 1;
        } else if (fault->kind == FaultKind::ChecksumSilent) {
            event("read checksum silent");
            state_ = State::Command;
            return;
        }
    }
    send_(std::to_string(sum) + "\r\n");
    readBlockEnd_ = at;
    state_ = State::ReadAnswer;
}

void Chip::readAnswer(const std::string& line) {
    if (line == "RESEND") {
        event("read resend");
        sendReadBlock();
        return;
    }
    if (line != "OK") {
        event("read abandoned: " + line);
        state_ = State::Command;
        return;
    }
    readPosition_ = readBlockEnd_;
    if (readPosition_ < readCount_) {
        sendReadBlock();
        return;
    }
    state_ = State::Command;
    event("read done " + std::to_string(readCount_));
}

void Chip::blankCheck(const std::vector<long>& args) {
    if (args.size() != 2) return answer(PARAM_ERROR);
    if (args[0] < 0 || args[1] < args[0] || args[1] >= static_cast<long>(prepared_.size())) {
        return answer(INVALID_SECTOR);
    }
    const uint32_t start = args[0] < 16 ? args[0] * 0x1000 : 0x10000 + (args[0] - 16) * 0x8000;
    const uint32_t end = args[1] < 15 ? (args[1] + 1) * 0x1000 : 0x10000 + (args[1] - 15) * 0x8000;
    for (uint32_t at = start; at < end; at += 4) {
        const uint32_t word = littleEndianWord(flash_.data() + at);
        if (word != 0xFFFFFFFF) {
            answer(SECTOR_NOT_BLANK);
            send_(std::to_string(at - start) + "\r\n" + std::to_string(word) + "\r\n");
            return;
        }
    }
    answer(CMD_SUCCESS);
}

void Chip::compare(const std::vector<long>& args) {
    if (args.size() != 3) return answer(PARAM_ERROR);
    const long first = args[0], second = args[1], count = args[2];
    if (first % 4 != 0) return answer(DST_ADDR_ERROR);
    if (second % 4 != 0) return answer(SRC_ADDR_ERROR);
    if (count <= 0 || count % 4 != 0) return answer(COUNT_ERROR);
    const uint8_t* a = mapped(first, count);
    const uint8_t* b = mapped(second, count);
    if (!a) return answer(DST_ADDR_NOT_MAPPED);
    if (!b) return answer(SRC_ADDR_NOT_MAPPED);
    for (long i = 0; i < count; i += 4) {
        if (littleEndianWord(a + i) != littleEndianWord(b + i)) {
            answer(COMPARE_ERROR);
            send_(std::to_string(i) + "\r\n");
            return;
        }
    }
    answer(CMD_SUCCESS);
}

}  // namespace lpcsim
