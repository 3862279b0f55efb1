#pragma once

#include <cstdint>

namespace flashmere {

// All time of the device runs goes through this interface, so that tests can
// run a whole upgrade on a virtual clock and assert every pause exactly.
class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale; only differences are meaningful.
    virtual std::int64_t nowMs() = 0;
    // Blocks the calling thread for the given time (no busy waiting).
    virtual void sleepMs(std::int64_t ms) = 0;
};

// The process's monotonic clock.
Clock& systemClock();

// Lets the system gather the wake-ups of this thread's sleeps with those of
// others, each a few tens of microseconds late, instead of waking it on the
// microsecond: for one of many threads that sleep at once (a fleet's
// devices), where the thread switches saved outweigh the lateness. Takes
// effect when called before the thread's first sleep.
void allowCoalescedSleeps();

}  // namespace flashmere
