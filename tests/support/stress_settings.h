// The settings of a seeded randomized stress run, taken from the environment so that a
// run can be replayed, lengthened or narrowed to some operations:
//   STRESS_SEED     the seed (decimal); a fresh random one when unset
//   STRESS_SECONDS  how long each stress test runs (a decimal number of seconds)
//   STRESS_OPS      comma-separated operations to run instead of the test's own mix
//   STRESS_OPS_OFF  comma-separated operations to leave out of the mix
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

class StressSettings {
public:
    StressSettings(std::chrono::milliseconds defaultDuration, const std::vector<std::string>& defaultOps);

    uint64_t seed() const { return seed_; }
    std::chrono::milliseconds duration() const { return duration_; }
    const std::vector<std::string>& ops() const { return ops_; }
    bool enabled(const std::string& op) const;
    // "seed=N seconds=S ops=a,b" and the environment that replays the run.
    std::string describe() const;
    // A generator of its own for each thread (or child) of the run, from the seed.
    std::mt19937_64 generator(uint64_t stream) const;

private:
    uint64_t seed_ = 0;
    std::chrono::milliseconds duration_;
    std::vector<std::string> ops_;
};

// Picks one of `choices` with the given weights (the same length).
template <typename T>
const T& pickWeighted(std::mt19937_64& random, const std::vector<T>& choices, const std::vector<unsigned>& weights) {
    std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
    return choices[pick(random)];
}

// A uniform integer in [low, high].
inline int64_t uniform(std::mt19937_64& random, int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
}

}  // namespace testsupport
