// The serial download protocol over a serial port (115200 8N1, raw): packets go
// without their report id byte, answers come back as plain bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    explicit Serial_SDPLoader(const std::string& path);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    bool init() override;
    int64_t writeData(const std::vector<uint8_t>& packet) override;
    int64_t readData(std::vector<uint8_t>& buffer, unsigned timeoutMs) override;
    // A complete answer is the 4-byte security state followed by the 4-byte status word.
    bool getDataFromBuffer(const std::vector<uint8_t>& buffer, unsigned index, uint32_t& word) override;

    // How long a port that takes no bytes is retried before a write gives up.
    static const unsigned WRITE_GIVE_UP_MS = 1000;
    // Once bytes arrived, the line counts as finished after this much silence.
    static const unsigned QUIET_MS = 20;

private:
    std::unique_ptr<PrivateSerial_SDPLoader> impl;
};
