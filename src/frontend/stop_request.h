#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace flashmere {

// What a run stopped by the operator says about its link.
inline constexpr const char* kStoppedByOperator =
    "the operator stopped the run when closing the window";

// "stopped by a signal, SIGTERM": what a run stopped by a signal says.
inline std::string stoppedBySignal(const std::string& signalName) {
    return "stopped by a signal, " + signalName;
}

// A request to stop one device operation: made on one thread (the window's,
// or the one that watches the stop signals), read on the operation's. The
// first request's reason stays.
class StopRequest {
  public:
    void request(const std::string& reason) {
        std::lock_guard lock(mutex_);
        if (!requested_.load()) {
            reason_ = reason;
            requested_.store(true);
        }
    }
    bool requested() const { return requested_.load(); }
    std::string reason() const {
        std::lock_guard lock(mutex_);
        return reason_;
    }

  private:
    std::atomic<bool> requested_{false};
    mutable std::mutex mutex_;
    std::string reason_;
};

}  // namespace flashmere
