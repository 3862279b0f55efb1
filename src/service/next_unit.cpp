#include "service/next_unit.h"

#include <cstdint>

#include "service/device_probe.h"

namespace flashmere {
namespace {

constexpr std::int64_t kAskEveryMs = 500;
constexpr std::int64_t kReplyWaitMs = 300;
constexpr std::int64_t kAwayMs = 10000;
constexpr std::int64_t kStopLookMs = 50;

}  // namespace

std::optional<std::string> serialThatAnswers(TransportFactory& transports, Clock& clock,
                                             const OperatorOptions& options) {
    NullTraceSink quiet;
    DeviceProbe probe(transports, clock, quiet, options, kReplyWaitMs);
    if (!probe.open()) {
        return std::nullopt;
    }
    const auto answer = probe.probe(static_cast<std::uint16_t>(options.deviceId));
    probe.close();
    if (!answer || answer->pinRefused) {
        return std::nullopt;
    }
    return answer->serial;
}

bool waitForNextUnit(TransportFactory& transports, Clock& clock, const OperatorOptions& options,
                     const std::string& lastSerial, const std::function<bool()>& stopAsked) {
    constexpr std::int64_t kHere = -1;
    std::int64_t awaySince = kHere;  // when the ID last stopped answering
    while (!stopAsked()) {
        const std::int64_t now = clock.nowMs();
        const auto serial = serialThatAnswers(transports, clock, options);
        if (stopAsked()) {
            break;
        }
        if (!serial) {
            awaySince = awaySince == kHere ? now : awaySince;
        } else if (*serial != lastSerial || lastSerial.empty()) {
            return true;
        } else if (awaySince != kHere && now - awaySince >= kAwayMs) {
            return true;
        } else {
            awaySince = kHere;
        }
        for (std::int64_t slept = 0; slept < kAskEveryMs && !stopAsked(); slept += kStopLookMs) {
            clock.sleepMs(kStopLookMs);
        }
    }
    return false;
}

}  // namespace flashmere
