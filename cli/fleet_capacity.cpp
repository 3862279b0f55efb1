#include "fleet_capacity.h"

#include <algorithm>

namespace flashmere::cli {
namespace {

std::string jobsAtMost(std::uint64_t devices) {
    return devices == 0 ? std::string("the fleet cannot start: no device fits")
                        : "give --jobs " + std::to_string(devices) + " or less";
}

std::string filesProblem(const FleetDemand& d, const ProcessRoom& room) {
    const std::uint64_t perDevice = kFilesPerDevice + (d.logs ? 1 : 0);
    const std::uint64_t needed = room.openFilesNow + kFilesReserve + d.devicesAtOnce * perDevice;
    if (room.openFiles == 0 || needed <= room.openFiles) {
        return {};
    }
    const std::uint64_t fixed = room.openFilesNow + kFilesReserve;
    const std::uint64_t fit = room.openFiles > fixed ? (room.openFiles - fixed) / perDevice : 0;
    return std::to_string(d.devicesAtOnce) + " devices at once need about " +
           std::to_string(needed) + " open files" + (d.logs ? " (a link and a log each)" : "") +
           ", but this process may open " + std::to_string(room.openFiles) +
           (room.openFilesAtHardLimit ? " (the hard limit, which only the administrator raises)"
                                      : "") +
           ": " + jobsAtMost(fit) + ", or allow more open files (ulimit -n)";
}

std::string threadsProblem(const FleetDemand& d, const ProcessRoom& room) {
    const std::uint64_t needed = d.devicesAtOnce + kThreadsReserve;
    if (room.threads == 0 || needed <= room.threads) {
        return {};
    }
    const std::uint64_t fit = room.threads > kThreadsReserve ? room.threads - kThreadsReserve : 0;
    return std::to_string(d.devicesAtOnce) + " devices at once need " + std::to_string(needed) +
           " threads, but the system lets this process start " + std::to_string(room.threads) +
           " more: " + jobsAtMost(fit) + ", or allow more processes (ulimit -u)";
}

std::string memoryProblem(const FleetDemand& d, const ProcessRoom& room) {
    const std::uint64_t needed = d.devicesAtOnce * kBytesPerDevice;
    if (room.memoryBytes == 0 || needed <= room.memoryBytes) {
        return {};
    }
    constexpr std::uint64_t kMiB = 1024 * 1024;
    return std::to_string(d.devicesAtOnce) + " devices at once need about " +
           std::to_string(needed / kMiB) + " MiB of memory, but " +
           std::to_string(room.memoryBytes / kMiB) +
           " MiB are available: " + jobsAtMost(room.memoryBytes / kBytesPerDevice);
}

}  // namespace

std::string capacityProblem(const FleetDemand& demand, const ProcessRoom& room) {
    for (const auto check : {filesProblem, threadsProblem, memoryProblem}) {
        if (std::string problem = check(demand, room); !problem.empty()) {
            return "--jobs " + std::to_string(demand.jobs) + ": " + problem +
                   "; no device was touched";
        }
    }
    return {};
}

}  // namespace flashmere::cli
