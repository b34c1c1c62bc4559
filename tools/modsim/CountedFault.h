// A fault that strikes one request a given number of requests from now, so a test can
// aim it at a packet in the middle of a transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace modsim {

// How an error reply a fault makes is cut: as the protocol has it (the code byte last),
// without the code byte ("error-short"), or with one byte more after the code
// ("error-long"), as firmware that pads or truncates its replies sends them.
enum class ErrorShape { Normal, NoCode, Trailing };

// The error kinds a counted fault group accepts, and the shape each one makes.
ErrorShape errorShapeOf(const std::string& kind);
bool isErrorKind(const std::string& kind);

// The error reply: `head` (command, flagged operation, what the request named), then
// the code as the shape has it.
std::vector<uint8_t> shapedError(std::vector<uint8_t> head, uint8_t code, ErrorShape shape);

class CountedFault {
public:
    // `after` requests are answered normally, the next one is struck.
    void arm(unsigned after, uint8_t code = 0, ErrorShape shape = ErrorShape::Normal) {
        remaining_ = after;
        code_ = code;
        shape_ = shape;
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
    ErrorShape shape() const { return shape_; }

private:
    std::optional<unsigned> remaining_;
    uint8_t code_ = 0;
    ErrorShape shape_ = ErrorShape::Normal;
};

// Parses "fault GROUP KIND AFTER [CODE]" for the kinds a handler knows; KIND "error"
// and "error-long" take a CODE of 0-255 (0 is a code real firmware has been seen to
// send), "error-short" none. Returns an empty string when the words are good, else the error line.
std::string parseCountedFault(const std::vector<std::string>& words, const std::vector<std::string>& kinds,
                              unsigned& after, uint8_t& code);

}  // namespace modsim
