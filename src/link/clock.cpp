#include "link/clock.h"

#include <chrono>
#include <thread>

#include "link/precise_sleeps.h"

namespace flashmere {
namespace {

// Set by allowCoalescedSleeps on a thread before its first sleep.
thread_local bool coalescedSleeps = false;

class SteadyClock final : public Clock {
  public:
    std::int64_t nowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleepMs(std::int64_t ms) override {
        askForPreciseSleeps(coalescedSleeps);
        if (ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    }
};

}  // namespace

void allowCoalescedSleeps() {
    coalescedSleeps = true;
}

Clock& systemClock() {
    static SteadyClock clock;
    return clock;
}

}  // namespace flashmere
