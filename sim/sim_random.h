#pragma once

#include <cstdint>

namespace flashmere {

// splitmix64: stable across platforms and standard libraries, so a seed
// gives the same faults everywhere.
class SimRandom {
  public:
    explicit SimRandom(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // True with probability p; draws nothing when p is 0.
    bool chance(double p) {
        if (p <= 0.0) {
            return false;
        }
        const double u = static_cast<double>(next() >> 11) * 0x1.0p-53;
        return u < p;
    }

    // A number from lo to hi, both included; draws nothing when hi <= lo.
    std::int64_t uniform(std::int64_t lo, std::int64_t hi) {
        if (hi <= lo) {
            return lo;
        }
        const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
        return lo + static_cast<std::int64_t>(next() % span);
    }

  private:
    std::uint64_t state_;
};

}  // namespace flashmere
