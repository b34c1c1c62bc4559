// The traffic of the randomized request-path test, as its clients and its checks see it.
//
// Every client keeps to an index of its own (its tag) of the module's command 0x12 and
// tags its echoes, so each reply names the client that asked; stream answers name
// nothing and are placed by an echo sent right behind each stream request (a fence).
// tests/peers/random_client.py is the same client written apart, for raw ZeroMQ peers.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace requestpath {

constexpr uint8_t kAddress = 6;
constexpr uint8_t kScratch = 0x12;
constexpr uint8_t kEcho = 0x17;
constexpr uint8_t kEchoMark = 0xEC;
constexpr uint8_t kStream = 0x5D;
constexpr uint8_t kSampled = 0x10;
constexpr uint8_t kEnable = 0x81;
constexpr uint8_t kDisable = 0x82;
constexpr int kTags = 32;

// CLOCK_MONOTONIC in seconds: the clock the Python peers print their times in.
inline double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// "10.07.00": a streamed value of command 0x10, index 0, as modsim's `streams` lists it.
inline std::string streamKey(uint8_t option) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X.%02X.00", kSampled, option);
    return text;
}

// From the moment a client sends a stream enable until it stops wanting the value (the
// refusal or the disable's acknowledgement reached it, or it vanished).
struct Want {
    std::string client;
    std::string key;
    double start = 0;
    double end = std::numeric_limits<double>::infinity();
};

// The wants of every client, filled as clients report them.
class WantLog {
public:
    void begin(const std::string& client, const std::string& key, double at) {
        std::lock_guard<std::mutex> lock(mutex_);
        wants_.push_back(Want{client, key, at});
    }
    void end(const std::string& client, const std::string& key, double at) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto want = wants_.rbegin(); want != wants_.rend(); ++want) {
            if (want->client == client && want->key == key && want->end > at) {
                want->end = at;
                return;
            }
        }
    }
    // A client that vanished wants nothing from then on.
    void vanished(const std::string& client, double at) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Want& want : wants_)
            if (want.client == client && want.end > at) want.end = at;
    }
    std::vector<Want> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return wants_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Want> wants_;
};

// What one client did and saw; the reach check compares the first three with what the
// module received.
struct ClientReport {
    std::string name;
    int tag = -1;
    bool wellBehaved = true;  // lived to the end and gave back what it held
    bool finished = false;    // reported its end ("done")
    long sentScratch = 0;     // requests of command 0x12 (a multi-chunk write counts once)
    long sentEcho = 0;
    long refusedScratch = 0;  // error replies to them, which the module never sends
    std::vector<std::string> failures;
    std::string statistics;
};

}  // namespace requestpath
