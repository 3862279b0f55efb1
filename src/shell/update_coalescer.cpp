#include "shell/update_coalescer.h"

#include <algorithm>
#include <utility>

namespace flashmere {

UpdateCoalescer::UpdateCoalescer(Clock& clock, Arm arm, std::int64_t intervalMs)
    : clock_(clock), arm_(std::move(arm)), intervalMs_(intervalMs) {}

void UpdateCoalescer::set(Slot slot, Update update) {
    std::int64_t delay = -1;
    {
        std::lock_guard lock(mutex_);
        pending_[slot] = Entry{std::move(update), ++setCount_[slot]};
        if (!armed_) {
            armed_ = true;
            // The first update of a quiet spell shows at once; later ones
            // wait for the interval since the last timed application.
            const std::int64_t due = everApplied_ ? lastTimerFlushMs_ + intervalMs_ : 0;
            delay = std::max<std::int64_t>(0, due - clock_.nowMs());
        }
    }
    if (delay >= 0) {
        arm_(delay);
    }
}

void UpdateCoalescer::timerFlush() {
    Pending due;
    bool rearm = false;
    {
        std::lock_guard lock(mutex_);
        everApplied_ = true;
        lastTimerFlushMs_ = clock_.nowMs();
        std::swap(due, pending_);
        // While updates keep coming the timer re-arms itself here, on the
        // window's thread: set() then has nothing to arm, and a repaint
        // costs the window one wake-up instead of two (the arming and the
        // timer). The first tick that finds nothing pending ends the chain.
        rearm = anyPending(due);
        armed_ = rearm;
    }
    if (rearm) {
        arm_(intervalMs_);
        applyAll(due);
    }
}

UpdateCoalescer::Update UpdateCoalescer::take() {
    Pending due;
    {
        std::lock_guard lock(mutex_);
        std::swap(due, pending_);
    }
    if (!anyPending(due)) {
        return {};
    }
    return [this, due = std::move(due)] { applyAll(due); };
}

void UpdateCoalescer::flush() {
    if (const Update due = take()) {
        due();
    }
}

bool UpdateCoalescer::anyPending(const Pending& updates) {
    return std::any_of(updates.begin(), updates.end(),
                       [](const Entry& e) { return bool(e.update); });
}

void UpdateCoalescer::applyAll(const Pending& updates) {
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        const Entry& entry = updates[slot];
        if (!entry.update) {
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            if (entry.number <= appliedNumber_[slot]) {
                continue;
            }
            appliedNumber_[slot] = entry.number;
        }
        entry.update();
    }
}

}  // namespace flashmere
