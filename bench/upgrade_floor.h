#pragma once

// The protocol floor of one upgrade: the same run as flashmere-cli makes
// against flashmere-devsim, executed in-process on a virtual clock. Its
// duration is exactly what the mandated pauses, the line's wire time and the
// device's reply latency add up to along the run's critical path; a real run
// can only be slower.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operator/message_row.h"
#include "sim_config.h"

namespace flashmere::bench {

struct FloorScenario {
    std::string firmwareFile;
    bool net = false;                          // TCP link (5 ms send pause) or serial (10 ms)
    std::optional<LineMode> line;              // the simulator's line pacing, if any
    std::int64_t latencyMs = 2;                // the simulator's reply latency
    std::int64_t rebootMs = 3000;              // the simulator's silence after a start
    std::uint16_t deviceId = 1;                // both sides use the same address
    std::optional<std::uint16_t> deviceModel;  // default: the file's model code
    bool verify = true;
    std::string transcriptFile;  // when set, the device's transcript as JSON lines
};

// A message the run showed and the virtual time at which it did.
struct FloorMark {
    MessageRow row = MessageRow::msgSelectFile;
    std::int64_t atMs = 0;
};

struct FloorResult {
    bool fileAccepted = false;
    MessageRow outcome = MessageRow::msgSelectFile;
    std::int64_t totalMs = 0;    // virtual duration of the run: the floor
    std::int64_t pausesMs = 0;   // sum of the pauses the run took
    std::int64_t waitingMs = 0;  // time spent waiting for the device beyond the pauses
    std::uint64_t requests = 0;  // request frames the device took (binary and text)
    std::uint64_t replies = 0;   // replies it sent
    std::uint64_t requestBytes = 0;
    std::uint64_t replyBytes = 0;
    std::uint64_t sendOnlyFrames = 0;  // wake-up frames that get no reply
    std::uint64_t sendOnlyBytes = 0;
    double wireMs = 0;           // every request and reply byte at the line's speed
    std::int64_t latencyMs = 0;  // replies x the device's latency
    std::int32_t pageCount = 0;
    std::vector<FloorMark> marks;

    // The virtual time of the first message of a row, if shown.
    std::optional<std::int64_t> markOf(MessageRow row) const;
    // Pauses + wire time + latency added up without overlap: an upper bound
    // for the floor, since a request's wire time runs during the send pause.
    double additiveMs() const { return static_cast<double>(pausesMs) + wireMs + double(latencyMs); }
};

// Runs the scenario; a file that cannot be read or is rejected gives
// fileAccepted false and nothing else.
FloorResult computeUpgradeFloor(const FloorScenario& scenario);

}  // namespace flashmere::bench
