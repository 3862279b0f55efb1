#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim_device.h"

namespace flashmere {

// Several simulated devices on one shared line: every device hears every
// request, and each answers only what it would answer on a real shared line.
// Because two devices that answered the same request would talk over each
// other, the answers that a lone device gives to any address (the discovery
// queries) are switched off once the line carries more than one device.
class SimBus {
  public:
    // Throws std::invalid_argument for an empty list, two devices with the
    // same ID or a configuration checkSimConfig rejects.
    explicit SimBus(std::vector<SimConfig> configs);

    void receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs);
    // Output of every device whose time has come, in line order.
    std::vector<SimOutput> takeDue(std::int64_t nowMs);
    std::optional<std::int64_t> nextDueMs() const;
    void linkOpened(std::int64_t nowMs);
    void linkClosed(std::int64_t nowMs);
    // The host threw away count waiting bytes (recorded by every device).
    void noteFlush(std::size_t count, std::int64_t nowMs);

    std::size_t size() const { return devices_.size(); }
    SimDevice& device(std::size_t index) { return devices_[index]; }
    const SimDevice& device(std::size_t index) const { return devices_[index]; }
    // True once every device on the line started a program and its reboot
    // ended.
    bool runFinished(std::int64_t nowMs) const;
    int runCount() const;

  private:
    std::vector<SimDevice> devices_;
};

}  // namespace flashmere
