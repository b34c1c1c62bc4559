#include "stress_settings.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

std::vector<std::string> splitList(const char* text) {
    std::vector<std::string> items;
    if (!text) return items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) items.push_back(item);
    return items;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

}  // namespace

StressSettings::StressSettings(std::chrono::milliseconds defaultDuration, const std::vector<std::string>& defaultOps)
    : duration_(defaultDuration), ops_(defaultOps) {
    if (const char* seed = getenv("STRESS_SEED"); seed && *seed) {
        seed_ = std::strtoull(seed, nullptr, 10);
    } else {
        // Nine digits: short enough to type when replaying.
        std::random_device device;
        seed_ = (static_cast<uint64_t>(device()) << 32 | device()) % 1000000000ull;
    }
    if (const char* seconds = getenv("STRESS_SECONDS"); seconds && *seconds) {
        duration_ = std::chrono::milliseconds(static_cast<int64_t>(std::strtod(seconds, nullptr) * 1000));
    }
    if (const char* ops = getenv("STRESS_OPS"); ops && *ops) ops_ = splitList(ops);
    for (const auto& off : splitList(getenv("STRESS_OPS_OFF")))
        ops_.erase(std::remove(ops_.begin(), ops_.end(), off), ops_.end());
}

bool StressSettings::enabled(const std::string& op) const {
    return std::find(ops_.begin(), ops_.end(), op) != ops_.end();
}

std::string StressSettings::describe() const {
    std::ostringstream out;
    out << "seed=" << seed_ << " seconds=" << duration_.count() / 1000.0 << " ops=" << joined(ops_)
        << " (replay: STRESS_SEED=" << seed_ << " STRESS_OPS=" << joined(ops_) << ")";
    return out.str();
}

std::mt19937_64 StressSettings::generator(uint64_t stream) const {
    std::seed_seq sequence{static_cast<uint32_t>(seed_), static_cast<uint32_t>(seed_ >> 32),
                           static_cast<uint32_t>(stream), static_cast<uint32_t>(stream >> 32)};
    return std::mt19937_64(sequence);
}

}  // namespace testsupport
