#include <cstdio>
#include <string>

#include "device/device_protocol.h"
#include "device/model_tables.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere {
namespace {

constexpr std::int64_t kRebootTickMs = 500;

}  // namespace

void startProgramText(DeviceSession& s) {
    std::uint32_t byteCount = 0;
    std::uint32_t byteSum = 0;
    const int pageSize = pageLayoutFor(s.image.modelCode).pageSize;
    for (int i = 0; i < s.image.pageCount; ++i) {
        for (std::uint8_t b : s.image.page(i, pageSize)) {
            byteSum += b;
            ++byteCount;
        }
    }
    char line[40];
    std::snprintf(line, sizeof line, "%04uYRC4E19D70%08X%08X", unsigned{s.deviceAddress()},
                  byteCount, byteSum);
    s.pause(5);
    if (!s.exchangeText(line)) {
        s.pause(100);
        s.exchangeText(line);
    }
}

std::string startProgramBinary(DeviceSession& s) {
    const RunCommand run = runCommandFor(s.image.modelCode);
    if (run.command == 0) {
        return {};
    }
    s.exchange(run.command, kRunModePayload);
    if (run.rebootSeconds > 0) {
        return showRebootWait(s, run.rebootSeconds);
    }
    return {};
}

std::string rebootWaitCaption(int elapsedSeconds, int rebootSeconds) {
    char text[96];
    std::snprintf(text, sizeof text, "device is rebooting,please wait ..... %03d/%03d Seconds",
                  elapsedSeconds, rebootSeconds);
    return text;
}

std::string showRebootWait(DeviceSession& s, int seconds) {
    // Counted on the monotonic clock: setting the computer's clock during
    // the wait neither ends it early nor stretches it.
    s.panel.showRebootWait(seconds);
    const std::int64_t start = s.clock.nowMs();
    std::string cutShort;
    for (;;) {
        s.pause(kRebootTickMs);
        const int elapsed = static_cast<int>((s.clock.nowMs() - start) / 1000);
        if (s.panel.rebootWaitClosedByOperator()) {
            cutShort = "the reboot wait was cut short after " + std::to_string(elapsed) + " of " +
                       std::to_string(seconds) + " seconds: the device may still be rebooting";
            break;
        }
        s.panel.updateRebootWait(rebootWaitCaption(elapsed, seconds), elapsed + 1, seconds + 1);
        if (elapsed > seconds) {
            break;
        }
    }
    s.panel.closeRebootWait();
    return cutShort;
}

}  // namespace flashmere
