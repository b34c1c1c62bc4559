// A fault that strikes one request a given number of requests from now, so a test can
// aim it at a packet in the middle of a transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace modsim {

class CountedFault {
public:
    // `after` requests are answered normally, the next one is struck.
    void arm(unsigned after, uint8_t code = 0) {
        remaining_ = after;
        code_ = code;
    }
    // Counts one request: true when it is the one to strike (the fault is then spent).
    bool strikes() {
        if (!remaining_) return false;
        if (*remaining_ > 0) {
            --*remaining_;
            return false;
        }
        remaining_.reset();
        return true;
    }
    uint8_t code() const { return code_; }

private:
    std::optional<unsigned> remaining_;
    uint8_t code_ = 0;
};

// Parses "fault GROUP KIND AFTER [CODE]" for the kinds a handler knows; KIND "error"
// takes a CODE of 1-255. Returns an empty string when the words are good, else the error line.
std::string parseCountedFault(const std::vector<std::string>& words, const std::vector<std::string>& kinds,
                              unsigned& after, uint8_t& code);

}  // namespace modsim
