#include "sim_device.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim_frames.h"
#include "sim_wire.h"

namespace flashmere {
namespace {

// Input kept while a frame is incomplete; older bytes are dropped as noise.
constexpr std::size_t kMaxInput = 8192;

}  // namespace

SimDevice::SimDevice(SimConfig config)
    : config_(std::move(config)),
      layout_(simLayoutFor(config_.model)),
      rng_(config_.seed),
      faultRules_(config_.faults),
      version_(config_.version) {
    if (auto problem = checkSimConfig(config_)) {
        throw std::invalid_argument(*problem);
    }
    memory_.assign(layout_.memorySize, 0xFF);
    if (config_.initialMemory == InitialMemory::OldFirmware) {
        // An earlier firmware: a fixed pattern that depends only on the address.
        for (std::uint32_t a = layout_.base; a < memory_.size(); ++a) {
            std::uint32_t x = a * 2654435761u;
            x ^= x >> 15;
            memory_[a] = static_cast<std::uint8_t>(x & 0x7F);  // never 0xFF
        }
    }
    if (config_.swapUnits) {
        firstUnitMemory_ = memory_;
    }
}

// ---- memory -----------------------------------------------------------------

std::vector<std::uint8_t> SimDevice::readMemory(std::uint32_t address, std::size_t n) const {
    if (address >= memory_.size()) {
        return {};
    }
    n = std::min(n, memory_.size() - address);
    return {memory_.begin() + address, memory_.begin() + static_cast<std::ptrdiff_t>(address + n)};
}

void SimDevice::writeMemory(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    if (address >= memory_.size()) {
        return;
    }
    const std::size_t n = std::min(bytes.size(), memory_.size() - address);
    std::copy_n(bytes.begin(), n, memory_.begin() + address);
}

std::optional<std::uint32_t> SimDevice::pageIndexOf(std::uint32_t address) const {
    if (address < layout_.base) {
        return std::nullopt;
    }
    return (address - layout_.base) / layout_.pageSize;
}

void SimDevice::notePageProgrammed() {
    ++pagesProgrammed_;
    if (faultRules_.silentAfter(pagesProgrammed_)) {
        dead_ = true;  // heard from the next request on
    }
}

bool SimDevice::rebootAtPage(std::uint32_t pageIndex, const SimEvent& event, std::int64_t nowMs) {
    const FaultRule* rule = faultRules_.takeRebootAtPage(pageIndex);
    if (!rule) {
        return false;
    }
    noReply(event, "fault " + rule->source, nowMs);
    startReboot(static_cast<double>(nowMs), config_.rebootMs, "reset at page");
    return true;
}

void SimDevice::corruptProgrammedCells(std::uint32_t address, std::uint32_t pageIndex,
                                       SimEvent& reply) {
    for (int n = faultRules_.corruptPageRules(pageIndex); n > 0; --n) {
        const auto off = static_cast<std::uint32_t>(rng_.next() % layout_.pageSize);
        memory_[address + off] ^= static_cast<std::uint8_t>(1u << (rng_.next() % 8));
        reply.note = "corrupted cell at " + simwire::hex8(address + off);
    }
}

// ---- connection -------------------------------------------------------------

void SimDevice::linkOpened(std::int64_t nowMs) {
    input_.clear();
    SimEvent e;
    e.atMs = nowMs;
    e.type = SimEventType::LinkOpened;
    transcript_.push_back(std::move(e));
}

void SimDevice::linkClosed(std::int64_t nowMs) {
    input_.clear();
    pending_.clear();
    SimEvent e;
    e.atMs = nowMs;
    e.type = SimEventType::LinkClosed;
    transcript_.push_back(std::move(e));
}

void SimDevice::noteFlush(std::size_t count, std::int64_t nowMs) {
    SimEvent e;
    e.atMs = nowMs;
    e.type = SimEventType::Flush;
    e.bytes = count;
    transcript_.push_back(std::move(e));
}

// ---- input ------------------------------------------------------------------

void SimDevice::receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs) {
    if (bytes.empty()) {
        return;
    }
    std::int64_t arrival = nowMs;
    if (config_.line) {
        // The request's own bytes take their time on the line before the
        // device has them all.
        rxFreeMs_ = std::max(rxFreeMs_, static_cast<double>(nowMs)) +
                    static_cast<double>(bytes.size()) * config_.line->msPerByte();
        arrival = static_cast<std::int64_t>(std::ceil(rxFreeMs_));
    }
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    processInput(arrival);
    if (input_.size() > kMaxInput) {
        dropNoise(input_.size() - kMaxInput, "input overflow", arrival);
    }
}

void SimDevice::dropNoise(std::size_t count, const std::string& reason, std::int64_t nowMs) {
    if (count == 0) {
        return;
    }
    SimEvent e;
    e.atMs = nowMs;
    e.type = SimEventType::Noise;
    e.bytes = count;
    e.payload.assign(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(
                                                          std::min<std::size_t>(count, 64)));
    e.note = reason;
    transcript_.push_back(std::move(e));
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(count));
}

void SimDevice::processInput(std::int64_t nowMs) {
    while (!input_.empty() && takeFirstFrame(nowMs)) {
    }
}

// The earliest candidate that forms a whole valid frame wins; start bytes
// before it were noise. If none is complete, keep everything from the first
// candidate that may still become a frame and report false.
bool SimDevice::takeFirstFrame(std::int64_t nowMs) {
    std::optional<std::size_t> firstIncomplete;
    std::string firstBadReason;
    for (std::size_t s = 0; s < input_.size(); ++s) {
        if (!isSimFrameStart(input_[s])) {
            continue;
        }
        SimRequest request;
        std::size_t length = 0;
        std::string reason;
        const SimParse r = parseSimFrame(std::span(input_).subspan(s), request, length, reason);
        if (r == SimParse::Complete) {
            dropNoise(s, firstBadReason.empty() ? "noise" : firstBadReason, nowMs);
            request.raw.assign(input_.begin(),
                               input_.begin() + static_cast<std::ptrdiff_t>(length));
            input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length));
            handle(request, nowMs);
            return true;
        }
        if (r == SimParse::Incomplete && !firstIncomplete) {
            firstIncomplete = s;
        }
        if (r == SimParse::Invalid && firstBadReason.empty() && !firstIncomplete) {
            firstBadReason = reason;
        }
    }
    const std::size_t drop = firstIncomplete.value_or(input_.size());
    dropNoise(drop, firstBadReason.empty() ? "noise" : firstBadReason, nowMs);
    return false;
}

// ---- requests ---------------------------------------------------------------

SimEvent SimDevice::requestEvent(const SimRequest& request, std::int64_t nowMs) const {
    SimEvent event;
    event.atMs = nowMs;
    event.type = SimEventType::Request;
    event.kind = request.kind;
    event.bytes = request.raw.size();
    event.command = request.command;
    event.address = request.address.value_or(0);
    event.pin = request.pin;
    if (request.kind == SimFrameKind::Binary) {
        event.payload = request.payload;
        if (request.payload.size() >= 8 && request.command != 0x0038 && request.command != 0x6038 &&
            request.command != 0x605A) {
            event.pageAddress = static_cast<std::uint32_t>(request.payload[5]) << 16 |
                                static_cast<std::uint32_t>(request.payload[6]) << 8 |
                                request.payload[7];
        }
    } else if (request.kind == SimFrameKind::AA) {
        event.payload = request.payload;
    } else {
        event.text = request.text;
    }
    return event;
}

void SimDevice::handle(const SimRequest& request, std::int64_t nowMs) {
    updateState(nowMs);
    ++framesSeen_;
    SimEvent event = requestEvent(request, nowMs);
    const std::size_t requestIndex = transcript_.size();
    transcript_.push_back(event);

    if (silentAt(nowMs)) {
        noReply(event, runCount_ > 0 ? "rebooting" : "resetting", nowMs);
    } else if (dead_) {
        noReply(event, "silent after the programmed pages", nowMs);
    } else {
        dispatch(request, event, nowMs);
    }
    // The handlers fill in what they decoded: the fixed block's kind, a text
    // command's address and page address.
    transcript_[requestIndex].kind = event.kind;
    transcript_[requestIndex].address = event.address;
    transcript_[requestIndex].pageAddress = event.pageAddress;
    disconnectIfDue(nowMs);
}

void SimDevice::dispatch(const SimRequest& request, SimEvent& event, std::int64_t nowMs) {
    switch (request.kind) {
        case SimFrameKind::Binary:
            handleBinary(request, event, nowMs);
            break;
        case SimFrameKind::Text:
            handleText(request, event, nowMs);
            break;
        case SimFrameKind::Tab:
            break;  // a wake-up: heard, never answered
        case SimFrameKind::AA:
            if (config_.model == 0x0171 || config_.model == 0x0181) {
                startReboot(static_cast<double>(nowMs), config_.resetMs, "reset");
            }
            break;
        case SimFrameKind::Fixed:
        case SimFrameKind::None:
            break;
    }
}

void SimDevice::disconnectIfDue(std::int64_t nowMs) {
    const int after = config_.faults.disconnectAfterFrames;
    if (after > 0 && !disconnectDone_ && framesSeen_ >= static_cast<std::uint64_t>(after)) {
        disconnectDone_ = true;
        const auto at = static_cast<std::int64_t>(std::ceil(std::max(txFreeMs_, double(nowMs))));
        addOutput({at, {}, true});
        SimEvent e;
        e.atMs = at;
        e.type = SimEventType::Disconnect;
        e.note = "after " + std::to_string(after) + " frames";
        transcript_.push_back(std::move(e));
    }
}

}  // namespace flashmere
