#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "device/device_session.h"

namespace flashmere {

// What a lost link does to the attempts left.
enum class OnLostLink {
    EndAttempts,  // none could reach the device: the failure is counted and the attempts end
    KeepTrying,   // the attempts and their pauses run on as if the device were silent
};

// How one request is repeated until the device answers it.
struct RetryPolicy {
    int attempts = 1;
    std::int64_t pauseBeforeMs = 0;                      // before every attempt
    std::int64_t retryPauseMs = 0;                       // after every failed attempt
    std::optional<ErrorCounter> counter = std::nullopt;  // raised by every failed attempt
    OnLostLink onLostLink = OnLostLink::EndAttempts;
};

// Sends by `send` until it succeeds or the policy's attempts are used up;
// true when one attempt succeeded.
bool sendWithRetries(DeviceSession& session, const RetryPolicy& policy,
                     const std::function<bool()>& send);

}  // namespace flashmere
