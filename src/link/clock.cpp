#include "link/clock.h"

#include <chrono>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>
#endif

namespace flashmere {
namespace {

// Set by allowCoalescedSleeps on a thread before its first sleep.
thread_local bool coalescedSleeps = false;

// A run sleeps a thousand times for pauses of a few milliseconds that the
// devices expect; the system's default wake-up granularity would stretch
// each of them. Asked once per sleeping thread.
void askForPreciseSleeps() {
#if defined(__linux__)
    // The kernel's default 50 us of timer slack on each sleep adds up; a
    // thread among a thousand keeps it, and the kernel gathers wake-ups.
    thread_local const bool precise =
        !coalescedSleeps && ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)precise;
#elif defined(_WIN32)
    // Windows wakes sleepers on its timer tick, 15.6 ms unless a process
    // asks for finer ticks (for the whole process, so once is enough).
    static const bool precise = ::timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)precise;
#endif
}

class SteadyClock final : public Clock {
  public:
    std::int64_t nowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleepMs(std::int64_t ms) override {
        askForPreciseSleeps();
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
