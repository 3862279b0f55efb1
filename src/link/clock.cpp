#include "link/clock.h"

#include <chrono>
#include <thread>

namespace flashmere {
namespace {

class SteadyClock final : public Clock {
  public:
    std::int64_t nowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleepMs(std::int64_t ms) override {
        if (ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    }
};

}  // namespace

Clock& systemClock() {
    static SteadyClock clock;
    return clock;
}

}  // namespace flashmere
