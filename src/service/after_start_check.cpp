#include "service/after_start_check.h"

#include <algorithm>
#include <cctype>

#include "link/escaped_text.h"
#include "service/device_probe.h"

namespace flashmere {
namespace {

constexpr std::int64_t kReplyWaitMs = 300;
constexpr std::int64_t kAskEveryMs = 200;

// A version as a device writes it, four hexadecimal digits, upper case;
// empty when the text is not of that form and cannot be compared.
std::string comparableVersion(const std::string& text) {
    if (text.size() != 4 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); })) {
        return {};
    }
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

}  // namespace

AfterStartCheck judgeAfterStart(bool answered, const std::string& versionNow,
                                const std::string& versionBefore, const std::string& fileVersion) {
    AfterStartCheck check;
    check.answered = answered;
    if (!answered) {
        check.reason = "checked after the start: the device did not answer";
        return check;
    }
    check.version = versionNow;
    check.reason = "checked after the start: the device answers with version " +
                   (versionNow.empty() ? std::string("(none)") : escapeBytes(versionNow));
    const std::string now = comparableVersion(versionNow);
    const std::string before = comparableVersion(versionBefore);
    const std::string file = comparableVersion(fileVersion);
    const bool unchanged = !now.empty() && now == before && !file.empty() && file != before;
    if (unchanged) {
        check.reason += ", still the version it had before; the file carries " + file;
    }
    check.passed = !unchanged;
    return check;
}

AfterStartCheck checkAfterStart(TransportFactory& transports, Clock& clock,
                                const OperatorOptions& options, const std::string& versionBefore,
                                const std::string& fileVersion, std::int64_t waitMs) {
    NullTraceSink quiet;
    const std::int64_t deadline = clock.nowMs() + waitMs;
    // Bounded by the deadline and by a count, whatever the clock does.
    for (int asked = 0; asked < 1000; ++asked) {
        DeviceProbe probe(transports, clock, quiet, options, kReplyWaitMs);
        if (probe.open()) {
            const auto answer = probe.probe(static_cast<std::uint16_t>(options.deviceId));
            probe.close();
            if (answer) {
                // A refused PIN: the device is there and tells no version.
                const std::string version = answer->pinRefused ? std::string() : answer->version;
                return judgeAfterStart(true, version, versionBefore, fileVersion);
            }
        }
        if (clock.nowMs() >= deadline) {
            break;
        }
        clock.sleepMs(std::min(kAskEveryMs, std::max<std::int64_t>(0, deadline - clock.nowMs())));
    }
    return judgeAfterStart(false, {}, versionBefore, fileVersion);
}

}  // namespace flashmere
