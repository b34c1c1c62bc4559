// The two wires of the simulated ROM: a pseudo-terminal carrying commands as plain
// 16-byte frames, and a packet socket carrying one HID report per packet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Rom.h"

namespace imxsim {

class Transport {
public:
    virtual ~Transport() = default;
    // The descriptor to poll for input.
    virtual int pollFd() const = 0;
    // Reads what is waiting and hands it to the ROM; false when the transport failed.
    virtual bool service(Rom& rom) = 0;
    // Milliseconds until the transport wants service without input; -1 none.
    virtual int timeoutMs() const { return -1; }
    virtual void idle() {}
};

class PtyTransport : public Transport {
public:
    PtyTransport(unsigned dropMs, Rom::Logger log) : dropMs_(dropMs), log_(std::move(log)) {}
    ~PtyTransport() override;
    bool open(std::string& error);
    const std::string& slavePath() const { return slavePath_; }
    int pollFd() const override { return master_; }
    bool service(Rom& rom) override;
    int timeoutMs() const override;
    void idle() override;

private:
    void send(const std::vector<Reply>& replies);
    int master_ = -1;
    int slaveHold_ = -1;
    std::string slavePath_;
    std::vector<uint8_t> partial_;
    uint64_t lastByteMs_ = 0;
    unsigned dropMs_;
    Rom::Logger log_;
};

class HidTransport : public Transport {
public:
    explicit HidTransport(Rom::Logger log) : log_(std::move(log)) {}
    ~HidTransport() override;
    bool open(const std::string& path, std::string& error);
    int pollFd() const override { return peer_ >= 0 ? peer_ : listen_; }
    bool service(Rom& rom) override;

private:
    void send(const std::vector<Reply>& replies);
    int listen_ = -1;
    int peer_ = -1;
    std::string path_;
    Rom::Logger log_;
};

uint64_t nowMs();

}  // namespace imxsim
