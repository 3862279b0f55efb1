#pragma once

#include <cstdint>
#include <string>

#include "process_room.h"

namespace flashmere::cli {

// What a fleet run takes at its busiest.
struct FleetDemand {
    int jobs = 0;                     // --jobs as asked
    std::uint64_t devicesAtOnce = 0;  // the most that can run at once: jobs, or fewer links
    bool logs = false;                // each running device writes its log
};

// Per running device: its link, its log with --logs, its thread.
constexpr std::uint64_t kFilesPerDevice = 1;
// The program's own: standard streams, the report and its lock, the history,
// the system's libraries.
constexpr std::uint64_t kFilesReserve = 64;
constexpr std::uint64_t kThreadsReserve = 16;
// Measured at 1000 devices (docs/PERFORMANCE.md) with room to spare: the
// thread's stack as far as a run touches it, its panel, socket and buffers.
constexpr std::uint64_t kBytesPerDevice = 256 * 1024;

// Empty when the demand fits the room; else what does not fit, the numbers,
// and what to do (a smaller --jobs, a higher limit).
std::string capacityProblem(const FleetDemand& demand, const ProcessRoom& room);

}  // namespace flashmere::cli
