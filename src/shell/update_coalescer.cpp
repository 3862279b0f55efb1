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
        pending_[slot] = std::move(update);
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
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
        everApplied_ = true;
        lastTimerFlushMs_ = clock_.nowMs();
    }
    flush();
}

UpdateCoalescer::Update UpdateCoalescer::take() {
    std::array<Update, kSlots> due;
    {
        std::lock_guard lock(mutex_);
        std::swap(due, pending_);
    }
    if (std::none_of(due.begin(), due.end(), [](const Update& u) { return bool(u); })) {
        return {};
    }
    return [due = std::move(due)] {
        for (const Update& update : due) {
            if (update) {
                update();
            }
        }
    };
}

void UpdateCoalescer::flush() {
    if (const Update due = take()) {
        due();
    }
}

}  // namespace flashmere
