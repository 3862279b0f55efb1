#include "sim_bus.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

namespace flashmere {

SimBus::SimBus(std::vector<SimConfig> configs) {
    if (configs.empty()) {
        throw std::invalid_argument("a line needs at least one device");
    }
    std::set<std::uint16_t> ids;
    for (auto& config : configs) {
        if (!ids.insert(config.id).second) {
            throw std::invalid_argument("two devices on one line have the ID " +
                                        std::to_string(config.id));
        }
        if (configs.size() > 1) {
            config.discoveryQueries = false;
        }
    }
    devices_.reserve(configs.size());
    for (auto& config : configs) {
        devices_.emplace_back(std::move(config));
    }
}

void SimBus::receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs) {
    for (auto& device : devices_) {
        device.receive(bytes, nowMs);
    }
}

std::vector<SimOutput> SimBus::takeDue(std::int64_t nowMs) {
    std::vector<SimOutput> due;
    for (auto& device : devices_) {
        for (auto& output : device.takeDue(nowMs)) {
            due.push_back(std::move(output));
        }
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const SimOutput& a, const SimOutput& b) { return a.atMs < b.atMs; });
    return due;
}

std::optional<std::int64_t> SimBus::nextDueMs() const {
    std::optional<std::int64_t> next;
    for (const auto& device : devices_) {
        if (const auto due = device.nextDueMs(); due && (!next || *due < *next)) {
            next = due;
        }
    }
    return next;
}

void SimBus::linkOpened(std::int64_t nowMs) {
    for (auto& device : devices_) {
        device.linkOpened(nowMs);
    }
}

void SimBus::linkClosed(std::int64_t nowMs) {
    for (auto& device : devices_) {
        device.linkClosed(nowMs);
    }
}

void SimBus::noteFlush(std::size_t count, std::int64_t nowMs) {
    for (auto& device : devices_) {
        device.noteFlush(count, nowMs);
    }
}

bool SimBus::runFinished(std::int64_t nowMs) const {
    return std::all_of(devices_.begin(), devices_.end(),
                       [&](const auto& d) { return d.runFinished(nowMs); });
}

int SimBus::runCount() const {
    int count = 0;
    for (const auto& device : devices_) {
        count += device.runCount();
    }
    return count;
}

}  // namespace flashmere
