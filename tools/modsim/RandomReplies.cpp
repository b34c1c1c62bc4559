#include "RandomReplies.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace modsim {

namespace {

constexpr unsigned kSlowLowMs = 1000;
constexpr unsigned kSlowHighMs = 1600;
constexpr unsigned kLateLowMs = 2100;
constexpr unsigned kLateHighMs = 3000;
constexpr unsigned kMaxJitterMs = 60000;

bool parsePercent(const std::string& text, double& percent) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(value >= 0 && value <= 100)) return false;
    percent = value;
    return true;
}

bool parseCount(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value <= max;
}

std::string percentText(double percent) {
    std::ostringstream text;
    text << percent;
    return text.str();
}

}  // namespace

bool RandomReplies::configure(const std::string& spec, std::string& error) {
    if (spec == "off") {
        on_ = false;
        return true;
    }
    RandomReplies made;
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const auto comma = spec.find(',', start);
        items.push_back(spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    for (const std::string& item : items) {
        const auto equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        unsigned long number = 0;
        bool good = true;
        if (key == "calm-streams" && equals == std::string::npos) {
            made.calmStreams_ = true;
        } else if (key == "seed") {
            good = parseCount(value, 0xFFFFFFFFFFFFFFFFul, number);
            made.seed_ = number;
        } else if (key == "jitter") {
            good = parseCount(value, kMaxJitterMs, number);
            made.jitterMs_ = static_cast<unsigned>(number);
        } else if (key == "slow") {
            good = parsePercent(value, made.slowPct_);
        } else if (key == "late") {
            good = parsePercent(value, made.latePct_);
        } else if (key == "drop") {
            good = parsePercent(value, made.dropPct_);
        } else if (key == "late-long") {
            good = parsePercent(value, made.lateLongPct_);
        } else if (key == "refuse") {
            good = parsePercent(value, made.refusePct_);
        } else {
            good = false;
        }
        if (!good) {
            error = "bad random-replies item: " + item;
            return false;
        }
    }
    if (made.slowPct_ + made.latePct_ + made.dropPct_ > 100) {
        error = "slow, late and drop add up to more than 100 percent";
        return false;
    }
    made.on_ = true;
    made.generator_.seed(made.seed_);
    *this = made;
    return true;
}

bool RandomReplies::chance(double percent) {
    return std::uniform_real_distribution<double>(0, 100)(generator_) < percent;
}

unsigned RandomReplies::between(unsigned low, unsigned high) {
    return std::uniform_int_distribution<unsigned>(low, high)(generator_);
}

std::string RandomReplies::shape(ReplyFaults& faults, bool streamRequest) {
    if (!on_) return "";
    const double draw = std::uniform_real_distribution<double>(0, 100)(generator_);
    const unsigned jitter = between(0, jitterMs_);
    if (faults.delayMs) return "";
    if (streamRequest && calmStreams_) {
        faults.delayMs = jitter;
        return "";
    }
    if (draw < dropPct_) {
        faults.noReply = true;
        return "dropped";
    }
    if (draw < dropPct_ + latePct_) {
        faults.delayMs = between(kLateLowMs, kLateHighMs);
        return "late " + std::to_string(faults.delayMs) + " ms";
    }
    if (draw < dropPct_ + latePct_ + slowPct_) {
        faults.delayMs = between(kSlowLowMs, kSlowHighMs);
        return "slow " + std::to_string(faults.delayMs) + " ms";
    }
    faults.delayMs = jitter;
    return "";
}

std::string RandomReplies::shapeLong(ReplyFaults& faults) {
    if (!on_) return "";
    const bool late = chance(lateLongPct_);
    const unsigned delay = between(kLateLowMs, kLateHighMs);
    if (!late || faults.noReply || faults.delayMs > jitterMs_) return "";
    faults.delayMs = delay;
    return "late " + std::to_string(delay) + " ms";
}

bool RandomReplies::refuseEnable() {
    return on_ && chance(refusePct_);
}

std::string RandomReplies::describe() const {
    if (!on_) return "off";
    return "seed=" + std::to_string(seed_) + ",jitter=" + std::to_string(jitterMs_) + ",slow=" + percentText(slowPct_) +
           ",late=" + percentText(latePct_) + ",drop=" + percentText(dropPct_) +
           ",late-long=" + percentText(lateLongPct_) + ",refuse=" + percentText(refusePct_) +
           (calmStreams_ ? ",calm-streams" : "");
}

}  // namespace modsim
