// The pseudo-terminal the simulated chip listens on.
#pragma once

#include <cstdint>
#include <string>

namespace lpcsim {

class Pty {
public:
    Pty() = default;
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Opens a master and holds its slave open in raw mode, so the line stays up while
    // the host has the port closed. Returns false with an error text.
    bool open(std::string& error);
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    // The rate the host last set on its end of the line, in baud; 0 when unknown.
    uint32_t baudRate() const;
    // Writes all of `bytes`, waiting at most a second for room.
    bool write(const std::string& bytes);

private:
    int master_ = -1;
    int slaveHold_ = -1;
    std::string slavePath_;
};

}  // namespace lpcsim
