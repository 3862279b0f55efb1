#pragma once

#include <cstdint>
#include <vector>

#include "link/clock.h"

namespace flashmere {

// A clock that moves only when slept on or advanced, so that a whole device
// run executes in microseconds and every pause can be asserted exactly.
// Single-threaded use only.
class VirtualClock final : public Clock {
  public:
    std::int64_t nowMs() override { return now_; }
    void sleepMs(std::int64_t ms) override {
        if (ms > 0) {
            now_ += ms;
        }
        sleeps_.push_back(ms);
    }
    // Moves time without recording a sleep (a wait inside a transport).
    void advance(std::int64_t ms) {
        if (ms > 0) {
            now_ += ms;
        }
    }
    const std::vector<std::int64_t>& sleeps() const { return sleeps_; }

  private:
    std::int64_t now_ = 0;
    std::vector<std::int64_t> sleeps_;
};

}  // namespace flashmere
