#include "link/clock.h"

#include <chrono>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace flashmere {
namespace {

class SteadyClock final : public Clock {
  public:
    std::int64_t nowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleepMs(std::int64_t ms) override {
#if defined(__linux__)
        // A run sleeps a thousand times for pauses the devices expect; the
        // kernel's default 50 us of timer slack on each adds up, so the
        // sleeping thread asks for precise wake-ups once.
        thread_local const bool precise = ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
        (void)precise;
#endif
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
