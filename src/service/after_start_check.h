#pragma once

#include <cstdint>
#include <string>

#include "link/clock.h"
#include "link/transport.h"
#include "operator/operator_panel.h"

namespace flashmere {

// What the device said of itself once its new program was started.
struct AfterStartCheck {
    bool answered = false;
    std::string version;  // as the device reports it; empty when it did not answer
    bool passed = false;  // answered, and not still with the version it had before
    std::string reason;   // "checked after the start: ..."
};

// How long the check asks the device before it counts as silent.
constexpr std::int64_t kAfterStartWaitMs = 3000;

// Asks the device at options.deviceId who it is, with the identification
// requests only (DeviceProbe), until it answers or waitMs have passed.
// versionBefore: what it reported before the upgrade; fileVersion: the
// version in the file's header. The two are compared only when both are
// four hexadecimal digits, the way the device writes its version.
AfterStartCheck checkAfterStart(TransportFactory& transports, Clock& clock,
                                const OperatorOptions& options, const std::string& versionBefore,
                                const std::string& fileVersion,
                                std::int64_t waitMs = kAfterStartWaitMs);

// The verdict alone, from what was learned (no link).
AfterStartCheck judgeAfterStart(bool answered, const std::string& versionNow,
                                const std::string& versionBefore, const std::string& fileVersion);

}  // namespace flashmere
