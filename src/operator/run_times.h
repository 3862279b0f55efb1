#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace flashmere {

// How long a run has taken and what its rest will take, shown with the
// progress of its pages.
struct RunTimes {
    std::int64_t elapsedMs = 0;
    std::int64_t leftMs = 0;  // the estimate of the rest, reboot wait included
    bool verifying = false;   // the estimate comes with the verify bar
};

// "1:05" for 65 s, "12:00" for 720 s; whole seconds, rounded up so that
// "0:00" comes only at the end.
inline std::string minutesAndSeconds(std::int64_t ms) {
    const std::int64_t seconds = ms > 0 ? (ms + 999) / 1000 : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

}  // namespace flashmere
