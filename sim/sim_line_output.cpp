// The device's side of the line: replies with their line faults (drop,
// corrupt, noise, split, stale bytes), byte pacing, silences and reboots.

#include <algorithm>
#include <cmath>

#include "sim_device.h"
#include "sim_wire.h"

namespace flashmere {

std::vector<SimOutput> SimDevice::takeDue(std::int64_t nowMs) {
    updateState(nowMs);
    std::vector<SimOutput> due;
    auto it = pending_.begin();
    while (it != pending_.end() && it->atMs <= nowMs) {
        ++it;
    }
    due.assign(std::make_move_iterator(pending_.begin()), std::make_move_iterator(it));
    pending_.erase(pending_.begin(), it);
    return due;
}

std::optional<std::int64_t> SimDevice::nextDueMs() const {
    if (pending_.empty()) {
        return std::nullopt;
    }
    return pending_.front().atMs;
}

void SimDevice::addOutput(SimOutput output) {
    // Bytes due at the same moment as the last pending output join it.
    if (!pending_.empty() && !output.disconnect && !pending_.back().disconnect &&
        pending_.back().atMs == output.atMs) {
        auto& last = pending_.back().bytes;
        last.insert(last.end(), output.bytes.begin(), output.bytes.end());
        return;
    }
    const auto pos =
        std::upper_bound(pending_.begin(), pending_.end(), output.atMs,
                         [](std::int64_t t, const SimOutput& o) { return t < o.atMs; });
    pending_.insert(pos, std::move(output));
}

double SimDevice::emit(std::vector<std::uint8_t> bytes, double startMs) {
    if (bytes.empty()) {
        return startMs;
    }
    if (!config_.line) {
        addOutput({static_cast<std::int64_t>(std::ceil(startMs)), std::move(bytes), false});
        return startMs;
    }
    // Each byte is on the host's side once its last bit has left.
    const double perByte = config_.line->msPerByte();
    SimOutput current;
    bool open = false;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const auto at =
            static_cast<std::int64_t>(std::ceil(startMs + static_cast<double>(k + 1) * perByte));
        if (open && at != current.atMs) {
            addOutput(std::move(current));
            current = SimOutput{};
            open = false;
        }
        if (!open) {
            current.atMs = at;
            open = true;
        }
        current.bytes.push_back(bytes[k]);
    }
    addOutput(std::move(current));
    return startMs + static_cast<double>(bytes.size()) * perByte;
}

void SimDevice::sendReply(std::vector<std::uint8_t> bytes, SimEvent reply, std::int64_t readyMs,
                          const SimRuleEffect& effect, bool startRun) {
    const double end = queueReply(std::move(bytes), std::move(reply), readyMs, effect);
    if (startRun) {
        ++runCount_;
        startReboot(end, config_.rebootMs, "start");
    }
}

double SimDevice::queueReply(std::vector<std::uint8_t> bytes, SimEvent reply, std::int64_t readyMs,
                             const SimRuleEffect& effect) {
    const auto& f = config_.faults;
    reply.type = SimEventType::Reply;
    reply.atMs = readyMs + effect.delayMs;
    reply.bytes = bytes.size();
    if (rng_.chance(f.dropProbability)) {
        reply.type = SimEventType::NoReply;
        reply.note = "dropped";
        transcript_.push_back(std::move(reply));
        return std::max(txFreeMs_, static_cast<double>(readyMs));
    }
    std::vector<std::string> notes;
    if (effect.delayMs > 0) {
        notes.push_back("delayed " + std::to_string(effect.delayMs) + " ms");
    }
    if (effect.corrupt || rng_.chance(f.corruptProbability)) {
        corruptOneByte(bytes, notes);
    }
    const std::vector<std::uint8_t> head(
        bytes.begin(),
        bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), 16)));
    double t = std::max(txFreeMs_, static_cast<double>(reply.atMs));
    if (f.noiseBytes > 0) {
        t = emitNoise(t, notes);
    }
    if (f.splitGapMs && bytes.size() > 1) {
        t = emitSplit(bytes, t, notes);
    } else {
        t = emit(std::move(bytes), t);
    }
    if (f.staleBytes > 0) {
        t = emitStale(head, t, notes);
    }
    txFreeMs_ = t;
    for (const auto& n : notes) {
        reply.note += (reply.note.empty() ? "" : "; ") + n;
    }
    transcript_.push_back(std::move(reply));
    return t;
}

void SimDevice::corruptOneByte(std::vector<std::uint8_t>& bytes, std::vector<std::string>& notes) {
    const auto at = static_cast<std::size_t>(rng_.next() % bytes.size());
    bytes[at] ^= static_cast<std::uint8_t>(1 + rng_.next() % 255);
    notes.push_back("corrupted byte " + std::to_string(at));
}

double SimDevice::emitNoise(double startMs, std::vector<std::string>& notes) {
    const int count = config_.faults.noiseBytes;
    std::vector<std::uint8_t> noise;
    for (int i = 0; i < count; ++i) {
        auto b = static_cast<std::uint8_t>(rng_.next() & 0xFF);
        if (b == simwire::kAck || b == simwire::kEtx) {
            b = 0x55;  // never a reply start byte, so a sound host always recovers
        }
        noise.push_back(b);
    }
    notes.push_back(std::to_string(count) + " noise bytes");
    return emit(std::move(noise), startMs);
}

// The reply in 2 to 4 pieces at distinct random cuts, with random gaps.
double SimDevice::emitSplit(const std::vector<std::uint8_t>& bytes, double startMs,
                            std::vector<std::string>& notes) {
    const auto& gapMs = *config_.faults.splitGapMs;
    const auto pieces = std::min<std::size_t>(bytes.size(), 2 + rng_.next() % 3);
    std::vector<std::size_t> cuts;
    while (cuts.size() + 1 < pieces) {
        const auto c = 1 + static_cast<std::size_t>(rng_.next() % (bytes.size() - 1));
        if (std::find(cuts.begin(), cuts.end(), c) == cuts.end()) {
            cuts.push_back(c);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(bytes.size());
    double t = startMs;
    std::size_t from = 0;
    std::string gaps;
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        if (i > 0) {
            const auto gap = rng_.uniform(gapMs.first, gapMs.second);
            gaps += (i > 1 ? "," : "") + std::to_string(gap);
            t += static_cast<double>(gap);
        }
        t = emit({bytes.begin() + static_cast<std::ptrdiff_t>(from),
                  bytes.begin() + static_cast<std::ptrdiff_t>(cuts[i])},
                 t);
        from = cuts[i];
    }
    notes.push_back("split in " + std::to_string(cuts.size()) + " pieces, gaps " + gaps + " ms");
    return t;
}

// Junk that arrives after the reply, before the host's next request: the
// reply's own head, so a host that does not flush misreads it.
double SimDevice::emitStale(const std::vector<std::uint8_t>& head, double startMs,
                            std::vector<std::string>& notes) {
    const int count = config_.faults.staleBytes;
    std::vector<std::uint8_t> stale;
    for (int i = 0; i < count; ++i) {
        stale.push_back(head[static_cast<std::size_t>(i) % head.size()]);
    }
    notes.push_back(std::to_string(count) + " stale bytes after");
    return emit(std::move(stale), startMs + 1.0);
}

void SimDevice::noReply(const SimEvent& request, std::string reason, std::int64_t nowMs) {
    SimEvent e;
    e.atMs = nowMs;
    e.type = SimEventType::NoReply;
    e.kind = request.kind;
    e.address = request.address;
    e.command = request.command;
    e.pageAddress = request.pageAddress;
    e.note = std::move(reason);
    transcript_.push_back(std::move(e));
}

void SimDevice::startReboot(double fromMs, std::int64_t silenceMs, const char* why) {
    const auto from = static_cast<std::int64_t>(std::ceil(fromMs));
    silentUntil_ = std::max(silentUntil_, from + silenceMs);
    rebootPending_ = true;
    loaderMode_ = false;
    SimEvent e;
    e.atMs = from;
    e.type = SimEventType::Reboot;
    e.note = std::string(why) + ": silent for " + std::to_string(silenceMs) + " ms";
    transcript_.push_back(std::move(e));
}

void SimDevice::swapUnit(std::int64_t nowMs) {
    ++config_.serialNumber;
    memory_ = firstUnitMemory_;
    version_ = config_.version;
    SimEvent e;
    e.atMs = nowMs;
    e.type = SimEventType::Reboot;
    e.note = "another unit answers: serial number " + std::to_string(config_.serialNumber);
    transcript_.push_back(std::move(e));
}

void SimDevice::updateState(std::int64_t nowMs) {
    if (rebootPending_ && nowMs >= silentUntil_) {
        rebootPending_ = false;
        if (runCount_ > 0 && config_.versionAfterRun) {
            version_ = *config_.versionAfterRun;
        }
        if (runCount_ > 0 && config_.swapUnits) {
            swapUnit(nowMs);
        }
    }
}

}  // namespace flashmere
