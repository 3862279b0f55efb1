#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>

#include "link/clock.h"

namespace flashmere {

// The frequent display updates of a device run (bar positions, trace boxes)
// come once or more per page; painting each costs the window more CPU than
// the whole run. They are kept here, the latest per control, and applied
// together at most once per interval; the last state is always applied.
// Any thread may set an update; flush runs on the window's thread.
class UpdateCoalescer {
  public:
    enum Slot : std::size_t {
        ProgramBar,
        VerifyBar,
        TxTrace,
        RxTrace,
        PageTrace,
        Page1Trace,
        BarTimes,
        kSlots
    };
    using Update = std::function<void()>;
    // Asks for timerFlush on the window's thread after the given delay (ms).
    using Arm = std::function<void(std::int64_t delayMs)>;

    // About 30 applications a second.
    static constexpr std::int64_t kDefaultIntervalMs = 33;

    UpdateCoalescer(Clock& clock, Arm arm, std::int64_t intervalMs = kDefaultIntervalMs);

    // Keeps update as the latest of its slot, replacing one not yet applied,
    // and arms the timer unless it is armed.
    void set(Slot slot, Update update);
    // The armed timer's end, on the window's thread: applies what is
    // pending, and arms the timer again when there was something.
    void timerFlush();
    // Takes what is pending as one update (empty when nothing is), for the
    // caller to apply before an update that must come after them (a message,
    // a new bar range): taken at the time of that call, so later updates
    // stay behind it. Applied after a later update of a slot, it leaves
    // that slot as it is. It must not outlive the coalescer.
    Update take();
    // Applies what is pending now, without waiting for the timer (the end
    // of a run).
    void flush();

  private:
    // An update and its place among the updates of its slot.
    struct Entry {
        Update update;
        std::uint64_t number = 0;
    };
    using Pending = std::array<Entry, kSlots>;
    static bool anyPending(const Pending& updates);
    // Applies each update unless a later one of its slot was applied first:
    // a taken update goes with a queued call, and Windows may run a timer
    // before a call queued earlier.
    void applyAll(const Pending& updates);

    Clock& clock_;
    Arm arm_;
    const std::int64_t intervalMs_;
    std::mutex mutex_;
    Pending pending_;
    std::array<std::uint64_t, kSlots> setCount_{};
    std::array<std::uint64_t, kSlots> appliedNumber_{};
    bool armed_ = false;
    bool everApplied_ = false;
    std::int64_t lastTimerFlushMs_ = 0;
};

}  // namespace flashmere
