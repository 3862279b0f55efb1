#include "device/request_retries.h"

namespace flashmere {

bool sendWithRetries(DeviceSession& s, const RetryPolicy& policy,
                     const std::function<bool()>& send) {
    auto countFailure = [&] {
        if (policy.counter) {
            s.bumpErrorCounter(*policy.counter);
        }
    };
    for (int attempt = 0; attempt < policy.attempts; ++attempt) {
        s.pause(policy.pauseBeforeMs);
        if (send()) {
            return true;
        }
        if (policy.onLostLink == OnLostLink::EndAttempts && s.link.lost()) {
            countFailure();
            return false;
        }
        s.pause(policy.retryPauseMs);
        countFailure();
    }
    return false;
}

}  // namespace flashmere
