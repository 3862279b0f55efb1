#include "sim_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "link/crc.h"

namespace flashmere {
namespace {

// What a short=K fault rule leaves of a reply's payload: a read reply's head.
constexpr std::size_t kShortReplyBytes = 8;
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kReq = 0x05;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kTab = 0x09;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kAA = 0xAA;

// The host's buffers hold 1500 bytes, so no request is longer.
constexpr std::size_t kMaxFrame = 1500;
constexpr std::size_t kMaxTabText = 64;
// Input kept while a frame is incomplete; older bytes are dropped as noise.
constexpr std::size_t kMaxInput = 8192;
constexpr std::uint16_t kReplyControl = 0x8801;

bool isStart(std::uint8_t b) {
    return b == kReq || b == kSoh || b == kTab || b == kAA;
}
bool printable(std::uint8_t b) {
    return b >= 0x20 && b <= 0x7E;
}

int hexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;  // the line carries upper-case hexadecimal only
}

std::optional<std::uint32_t> parseHex(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t v = 0;
    for (const char c : text) {
        const int d = hexValue(static_cast<std::uint8_t>(c));
        if (d < 0) {
            return std::nullopt;
        }
        v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return v;
}

std::string hex4(std::uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
    return buf;
}

std::string hex8(std::uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::string jsonEscape(const std::string& s) {
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string hexString(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const auto b : bytes) {
        out += hexByte(b);
    }
    return out;
}

}  // namespace

struct SimDevice::Request {
    SimFrameKind kind = SimFrameKind::None;
    std::vector<std::uint8_t> raw;
    // binary
    std::uint16_t control = 0;
    std::uint16_t command = 0;
    std::optional<std::uint16_t> address;
    std::optional<std::uint32_t> value32;
    std::optional<std::uint16_t> pin;
    std::vector<std::uint8_t> payload;
    // text and TAB
    std::string text;
};

const char* toString(SimFrameKind kind) {
    switch (kind) {
        case SimFrameKind::None:
            return "none";
        case SimFrameKind::Binary:
            return "binary";
        case SimFrameKind::Text:
            return "text";
        case SimFrameKind::Tab:
            return "tab";
        case SimFrameKind::AA:
            return "aa";
        case SimFrameKind::Fixed:
            return "fixed";
    }
    return "none";
}

const char* toString(SimEventType type) {
    switch (type) {
        case SimEventType::Request:
            return "request";
        case SimEventType::Reply:
            return "reply";
        case SimEventType::NoReply:
            return "no-reply";
        case SimEventType::Noise:
            return "noise";
        case SimEventType::Flush:
            return "flush";
        case SimEventType::Disconnect:
            return "disconnect";
        case SimEventType::Reboot:
            return "reboot";
        case SimEventType::LinkOpened:
            return "link-opened";
        case SimEventType::LinkClosed:
            return "link-closed";
    }
    return "none";
}

std::string toJsonLine(const SimEvent& e) {
    std::string out =
        "{\"t\":" + std::to_string(e.atMs) + ",\"event\":\"" + toString(e.type) + "\"";
    if (e.kind != SimFrameKind::None) {
        out += ",\"kind\":\"" + std::string(toString(e.kind)) + "\"";
        out += ",\"address\":" + std::to_string(e.address);
    }
    if (e.kind == SimFrameKind::Binary || e.kind == SimFrameKind::Fixed) {
        out += ",\"command\":\"0x" + hex4(e.command) + "\"";
    }
    if (e.pin) {
        out += ",\"pin\":\"0x" + hex4(*e.pin) + "\"";
    }
    if (!e.text.empty()) {
        out += ",\"text\":\"" + jsonEscape(e.text) + "\"";
    }
    if (!e.payload.empty()) {
        out += ",\"payload\":\"" + hexString(e.payload) + "\"";
    }
    if (e.pageAddress) {
        out += ",\"page_address\":\"0x" + hex8(*e.pageAddress) + "\"";
    }
    if (!e.note.empty()) {
        out += ",\"note\":\"" + jsonEscape(e.note) + "\"";
    }
    if (e.bytes != 0) {
        out += ",\"bytes\":" + std::to_string(e.bytes);
    }
    out += "}";
    return out;
}

SimDevice::SimDevice(SimConfig config)
    : config_(std::move(config)),
      layout_(simLayoutFor(config_.model)),
      rng_(config_.seed),
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
    ruleHits_.assign(config_.faults.rules.size(), 0);
}

// ---- random numbers -------------------------------------------------------

std::uint64_t SimDevice::nextRandom() {
    rng_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = rng_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool SimDevice::chance(double p) {
    if (p <= 0.0) {
        return false;
    }
    const double u = static_cast<double>(nextRandom() >> 11) * 0x1.0p-53;
    return u < p;
}

std::int64_t SimDevice::uniform(std::int64_t lo, std::int64_t hi) {
    if (hi <= lo) {
        return lo;
    }
    const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
    return lo + static_cast<std::int64_t>(nextRandom() % span);
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

// ---- output -----------------------------------------------------------------

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

std::vector<std::uint8_t> SimDevice::binaryReply(std::uint16_t code,
                                                 std::span<const std::uint8_t> payload) const {
    std::vector<std::uint8_t> out;
    out.reserve(payload.size() + 11);
    out.push_back(kAck);
    put16(out, static_cast<std::uint16_t>(payload.size() + 8));
    put16(out, kReplyControl);
    put16(out, code);
    put16(out, config_.id);
    out.insert(out.end(), payload.begin(), payload.end());
    const std::uint16_t crc = crc16Kermit(std::span(out).subspan(1));
    put16(out, crc);
    return out;
}

std::vector<std::uint8_t> SimDevice::textReply(int addressDigits, const std::string& code,
                                               const std::string& payload) const {
    char addr[8];
    std::snprintf(addr, sizeof addr, addressDigits == 4 ? "%04u" : "%02u",
                  static_cast<unsigned>(config_.id));
    std::vector<std::uint8_t> out;
    out.push_back(kEtx);
    for (const char* p = addr; *p; ++p) {
        out.push_back(static_cast<std::uint8_t>(*p));
    }
    out.insert(out.end(), code.begin(), code.end());
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(kEot);
    const std::uint16_t crc = crc16Arc(out);
    for (const char c : hex4(crc)) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    out.push_back(kCr);
    return out;
}

double SimDevice::queueReply(std::vector<std::uint8_t> bytes, SimEvent reply, std::int64_t readyMs,
                             const RuleEffect& effect) {
    const auto& f = config_.faults;
    reply.type = SimEventType::Reply;
    reply.atMs = readyMs + effect.delayMs;
    reply.bytes = bytes.size();
    if (chance(f.dropProbability)) {
        reply.type = SimEventType::NoReply;
        reply.note = "dropped";
        transcript_.push_back(std::move(reply));
        return std::max(txFreeMs_, static_cast<double>(readyMs));
    }
    std::vector<std::string> notes;
    if (effect.delayMs > 0) {
        notes.push_back("delayed " + std::to_string(effect.delayMs) + " ms");
    }
    if (effect.corrupt || chance(f.corruptProbability)) {
        const auto at = static_cast<std::size_t>(nextRandom() % bytes.size());
        bytes[at] ^= static_cast<std::uint8_t>(1 + nextRandom() % 255);
        notes.push_back("corrupted byte " + std::to_string(at));
    }
    std::vector<std::uint8_t> head(
        bytes.begin(),
        bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), 16)));
    double t = std::max(txFreeMs_, static_cast<double>(reply.atMs));
    if (f.noiseBytes > 0) {
        std::vector<std::uint8_t> noise;
        for (int i = 0; i < f.noiseBytes; ++i) {
            auto b = static_cast<std::uint8_t>(nextRandom() & 0xFF);
            if (b == kAck || b == kEtx) {
                b = 0x55;  // never a reply start byte, so a sound host always recovers
            }
            noise.push_back(b);
        }
        t = emit(std::move(noise), t);
        notes.push_back(std::to_string(f.noiseBytes) + " noise bytes");
    }
    if (f.splitGapMs && bytes.size() > 1) {
        const auto pieces = std::min<std::size_t>(bytes.size(), 2 + nextRandom() % 3);
        std::vector<std::size_t> cuts;
        while (cuts.size() + 1 < pieces) {
            const auto c = 1 + static_cast<std::size_t>(nextRandom() % (bytes.size() - 1));
            if (std::find(cuts.begin(), cuts.end(), c) == cuts.end()) {
                cuts.push_back(c);
            }
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.push_back(bytes.size());
        std::size_t from = 0;
        std::string gaps;
        for (std::size_t i = 0; i < cuts.size(); ++i) {
            if (i > 0) {
                const auto gap = uniform(f.splitGapMs->first, f.splitGapMs->second);
                gaps += (i > 1 ? "," : "") + std::to_string(gap);
                t += static_cast<double>(gap);
            }
            t = emit({bytes.begin() + static_cast<std::ptrdiff_t>(from),
                      bytes.begin() + static_cast<std::ptrdiff_t>(cuts[i])},
                     t);
            from = cuts[i];
        }
        notes.push_back("split in " + std::to_string(cuts.size()) + " pieces, gaps " + gaps +
                        " ms");
    } else {
        t = emit(std::move(bytes), t);
    }
    if (f.staleBytes > 0) {
        // Junk that arrives after the reply, before the host's next request:
        // the reply's own head, so a host that does not flush misreads it.
        std::vector<std::uint8_t> stale;
        for (int i = 0; i < f.staleBytes; ++i) {
            stale.push_back(head[static_cast<std::size_t>(i) % head.size()]);
        }
        t = emit(std::move(stale), t + 1.0);
        notes.push_back(std::to_string(f.staleBytes) + " stale bytes after");
    }
    txFreeMs_ = t;
    for (const auto& n : notes) {
        reply.note += (reply.note.empty() ? "" : "; ") + n;
    }
    transcript_.push_back(std::move(reply));
    return t;
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

void SimDevice::updateState(std::int64_t nowMs) {
    if (rebootPending_ && nowMs >= silentUntil_) {
        rebootPending_ = false;
        if (runCount_ > 0 && config_.versionAfterRun) {
            version_ = *config_.versionAfterRun;
        }
    }
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
    while (!input_.empty()) {
        // The earliest candidate that forms a whole valid frame wins; start
        // bytes before it were noise. If none is complete, keep everything
        // from the first candidate that may still become a frame.
        std::optional<std::size_t> firstIncomplete;
        std::string firstBadReason;
        bool took = false;
        for (std::size_t s = 0; s < input_.size(); ++s) {
            if (!isStart(input_[s])) {
                continue;
            }
            Request request;
            std::size_t length = 0;
            std::string reason;
            const Parse r = tryParse(s, request, length, reason);
            if (r == Parse::Complete) {
                dropNoise(s, firstBadReason.empty() ? "noise" : firstBadReason, nowMs);
                request.raw.assign(input_.begin(),
                                   input_.begin() + static_cast<std::ptrdiff_t>(length));
                input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length));
                handle(request, nowMs);
                took = true;
                break;
            }
            if (r == Parse::Incomplete && !firstIncomplete) {
                firstIncomplete = s;
            }
            if (r == Parse::Invalid && firstBadReason.empty() && !firstIncomplete) {
                firstBadReason = reason;
            }
        }
        if (took) {
            continue;
        }
        const std::size_t drop = firstIncomplete.value_or(input_.size());
        dropNoise(drop, firstBadReason.empty() ? "noise" : firstBadReason, nowMs);
        return;
    }
}

SimDevice::Parse SimDevice::tryParse(std::size_t at, Request& out, std::size_t& length,
                                     std::string& reason) const {
    const std::uint8_t* p = input_.data() + at;
    const std::size_t n = input_.size() - at;
    switch (p[0]) {
        case kReq: {
            if (n < 5) {
                return Parse::Incomplete;
            }
            const std::size_t len = get16(p + 1);
            const std::uint16_t control = get16(p + 3);
            if (len < 6 || len + 3 > kMaxFrame || (control & 0x8000) == 0 ||
                (control & 0x0001) == 0) {
                return Parse::Invalid;  // a request always carries a CRC
            }
            const std::size_t total = len + 3;
            if (n < total) {
                return Parse::Incomplete;
            }
            const std::uint16_t crc = crc16Kermit(std::span(p + 1, total - 3));
            if (crc != get16(p + total - 2)) {
                reason = "binary frame with a bad CRC";
                return Parse::Invalid;
            }
            out.kind = SimFrameKind::Binary;
            out.control = control;
            out.command = get16(p + 5);
            std::size_t pos = 7;
            const std::size_t end = total - 2;
            if (control & 0x0800) {
                if (pos + 2 > end) {
                    reason = "binary frame too short for its fields";
                    return Parse::Invalid;
                }
                out.address = get16(p + pos);
                pos += 2;
            }
            if (control & 0x0400) {
                if (pos + 4 > end) {
                    reason = "binary frame too short for its fields";
                    return Parse::Invalid;
                }
                out.value32 = static_cast<std::uint32_t>(get16(p + pos)) << 16 | get16(p + pos + 2);
                pos += 4;
            }
            if (control & 0x0200) {
                if (pos + 2 > end) {
                    reason = "binary frame too short for its fields";
                    return Parse::Invalid;
                }
                out.pin = get16(p + pos);
                pos += 2;
            }
            out.payload.assign(p + pos, p + end);
            length = total;
            return Parse::Complete;
        }
        case kSoh: {
            std::size_t i = 1;
            while (i < n && p[i] != kStx) {
                if (!printable(p[i]) || i > kMaxFrame - 7) {
                    return Parse::Invalid;
                }
                ++i;
            }
            if (i >= n || n < i + 6) {
                return Parse::Incomplete;
            }
            const std::uint16_t crc = crc16Arc(std::span(p, i + 1));
            const std::string want = hex4(crc);
            if (p[i + 5] != kCr) {
                return Parse::Invalid;
            }
            if (!std::equal(want.begin(), want.end(), p + i + 1)) {
                reason = "text frame with a bad CRC";
                return Parse::Invalid;
            }
            out.kind = SimFrameKind::Text;
            out.text.assign(reinterpret_cast<const char*>(p + 1), i - 1);
            length = i + 6;
            return Parse::Complete;
        }
        case kTab: {
            std::size_t i = 1;
            while (i < n && p[i] != kCr) {
                if (!printable(p[i]) || i > kMaxTabText + 2) {
                    return Parse::Invalid;
                }
                ++i;
            }
            if (i >= n) {
                return Parse::Incomplete;
            }
            if (i < 3) {
                return Parse::Invalid;
            }
            std::uint8_t x = 0;
            for (std::size_t k = 0; k < i - 2; ++k) {
                x ^= p[k];
            }
            const int hi = hexValue(p[i - 2]);
            const int lo = hexValue(p[i - 1]);
            if (hi < 0 || lo < 0 || (hi << 4 | lo) != x) {
                reason = "TAB frame with a bad check";
                return Parse::Invalid;
            }
            out.kind = SimFrameKind::Tab;
            out.text.assign(reinterpret_cast<const char*>(p + 1), i - 3);
            length = i + 1;
            return Parse::Complete;
        }
        case kAA: {
            if (n < 3) {
                return Parse::Incomplete;
            }
            if (p[1] != 0 || p[2] < 2) {
                return Parse::Invalid;
            }
            const std::size_t count = p[2] - 2u;
            if ((n > 3 && p[3] != 0) || (n > 4 && p[4] != 0)) {
                return Parse::Invalid;
            }
            const std::size_t total = count + 6;
            if (n < total) {
                return Parse::Incomplete;
            }
            std::uint8_t x = 0;
            for (std::size_t k = 1; k < total - 1; ++k) {
                x ^= p[k];
            }
            if (x != p[total - 1]) {
                reason = "0xAA frame with a bad check";
                return Parse::Invalid;
            }
            out.kind = SimFrameKind::AA;
            out.payload.assign(p + 5, p + 5 + count);
            length = total;
            return Parse::Complete;
        }
        default:
            return Parse::Invalid;
    }
}

// ---- requests ---------------------------------------------------------------

SimDevice::RuleEffect SimDevice::applyRules(FaultTarget target, std::optional<std::uint32_t> page,
                                            std::optional<std::uint16_t> command,
                                            const std::string& textCode,
                                            const std::vector<std::uint8_t>& raw) {
    RuleEffect fx;
    const auto& rules = config_.faults.rules;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const FaultRule& r = rules[i];
        bool match = false;
        if (r.target == FaultTarget::Command) {
            match = command && *command == r.index;
        } else if (r.target == FaultTarget::Text) {
            match = !textCode.empty() && textCode == r.textCode;
        } else if (r.target == target && page) {
            match = *page == r.index;
        }
        if (!match) {
            continue;
        }
        const std::int64_t hit = ++ruleHits_[i];
        switch (r.action) {
            case FaultAction::Fail:
                if (hit <= r.amount) {
                    fx.silent = true;
                    fx.reason = "fault " + r.source + " (" + std::to_string(hit) + ")";
                }
                break;
            case FaultAction::Never:
                fx.silent = true;
                fx.reason = "fault " + r.source;
                break;
            case FaultAction::Delay:
                fx.delayMs += r.amount;
                break;
            case FaultAction::Corrupt:
                if (hit <= r.amount) {
                    fx.corrupt = true;
                }
                break;
            case FaultAction::Short:
                if (hit <= r.amount) {
                    fx.cutShort = true;
                }
                break;
            case FaultAction::None:
                break;
        }
    }
    const int first = config_.faults.silentFirstAttempts;
    if (!fx.silent && first > 0) {
        const int seen = ++attempts_[raw];
        if (seen <= first) {
            fx.silent = true;
            fx.reason = "silent for the first " + std::to_string(first) + " attempts (" +
                        std::to_string(seen) + ")";
        }
    }
    return fx;
}

void SimDevice::notePageProgrammed() {
    ++pagesProgrammed_;
    for (const auto& r : config_.faults.rules) {
        if (r.target == FaultTarget::SilentAfterPages && pagesProgrammed_ >= r.index) {
            dead_ = true;  // heard from the next request on
        }
    }
}

bool SimDevice::rebootAtPage(std::uint32_t pageIndex, const SimEvent& event, std::int64_t nowMs) {
    for (const auto& r : config_.faults.rules) {
        if (r.target == FaultTarget::RebootAtPage && r.index == pageIndex && !rebootAtPageDone_) {
            rebootAtPageDone_ = true;
            noReply(event, "fault " + r.source, nowMs);
            startReboot(static_cast<double>(nowMs), config_.rebootMs, "reset at page");
            return true;
        }
    }
    return false;
}

void SimDevice::handle(const Request& request, std::int64_t nowMs) {
    updateState(nowMs);
    ++framesSeen_;
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
    const std::size_t requestIndex = transcript_.size();
    transcript_.push_back(event);

    if (silentAt(nowMs)) {
        noReply(event, runCount_ > 0 ? "rebooting" : "resetting", nowMs);
    } else if (dead_) {
        noReply(event, "silent after the programmed pages", nowMs);
    } else {
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
    // The handlers fill in what they decoded: the fixed block's kind, a text
    // command's address and page address.
    transcript_[requestIndex].kind = event.kind;
    transcript_[requestIndex].address = event.address;
    transcript_[requestIndex].pageAddress = event.pageAddress;

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

void SimDevice::handleBinary(const Request& req, SimEvent& event, std::int64_t nowMs) {
    if (!req.address) {
        // The fixed block: the mode command without address field. It is
        // heard by every device on the line and never answered.
        const bool modeEnter = req.command == 0x0038 && req.payload.size() >= 2 &&
                               req.payload[0] == 0x6D && req.payload[1] == 0x2E;
        if (modeEnter) {
            event.kind = SimFrameKind::Fixed;
            if (!layout_.textProtocol) {
                loaderMode_ = true;
            }
        } else {
            noReply(event, "no address field", nowMs);
        }
        return;
    }
    const std::uint16_t cmd = req.command;
    const bool query = cmd == 0x0001 || cmd == 0x0002 || cmd == 0x0003;
    if (*req.address != config_.id && !(config_.discoveryQueries && query && *req.address == 1)) {
        noReply(event, "for another address", nowMs);
        return;
    }
    if (layout_.textProtocol) {
        noReply(event, "binary frame on a text device", nowMs);
        return;
    }
    const auto& cs = layout_.commands;
    FaultTarget target = FaultTarget::Command;
    std::optional<std::uint32_t> page;
    if (event.pageAddress) {
        page = pageIndexOf(*event.pageAddress);
        if (cmd == cs.erase) {
            target = FaultTarget::Erase;
        } else if (cmd == cs.program) {
            target = FaultTarget::Program;
        } else if (cmd == cs.read) {
            target = FaultTarget::Read;
        }
    }
    // A device with a PIN answers the identify command of a frame without the
    // right PIN with an empty payload and hears nothing else.
    const bool pinRefused = config_.pin && (!req.pin || *req.pin != *config_.pin);
    if (pinRefused && cmd != 0x0001) {
        noReply(event, "PIN refused", nowMs);
        return;
    }
    const RuleEffect fx = applyRules(target, page, cmd, {}, req.raw);
    if (fx.silent) {
        noReply(event, fx.reason, nowMs);
        return;
    }

    SimEvent reply;
    reply.kind = SimFrameKind::Binary;
    reply.address = config_.id;
    reply.command = cmd;
    std::vector<std::uint8_t> payload;
    std::int64_t busy = 0;
    bool startRun = false;
    const std::uint16_t model = reportedModel();

    // The 8-byte head of erase, program and read requests: five zero bytes
    // and the address; a 16-bit loader takes addresses up to 0xFFFF only.
    auto headProblem = [&](bool forWrite) -> std::string {
        if (req.payload.size() < 8) {
            return "page request shorter than its head";
        }
        if (std::any_of(req.payload.begin(), req.payload.begin() + 5,
                        [](std::uint8_t b) { return b != 0; })) {
            return "page request head bytes 0-4 not zero";
        }
        if (forWrite && layout_.address16 && req.payload[5] != 0) {
            return "address beyond the 16-bit form";
        }
        return {};
    };

    if (pinRefused) {
        reply.note = "PIN refused";
    } else if (cmd == 0x0001) {
        put16(payload, model);
        put16(payload, static_cast<std::uint16_t>(config_.serialNumber >> 16));
        put16(payload, static_cast<std::uint16_t>(config_.serialNumber & 0xFFFF));
        put16(payload, config_.id);
    } else if (cmd == 0x0002) {
        put16(payload, config_.id);
    } else if (cmd == 0x0003) {
        payload.assign(12, 0);
        std::copy(config_.name.begin(), config_.name.end(), payload.begin());
        put16(payload, version_);
        put16(payload, config_.isp);
    } else if (cmd == 0x6037 || cmd == 0x605F) {
        if (!layout_.groupVersionQueries) {
            noReply(event, "unknown command", nowMs);
            return;
        }
        put16(payload, model);
        put16(payload, version_);
        put16(payload, config_.isp);
    } else if (cmd == cs.mode) {
        if (req.payload.size() == 8 && req.payload[0] == 0x6D && req.payload[1] == 0x2E) {
            loaderMode_ = true;
            reply.note = "loader mode";
        } else if (req.payload.size() == 8 && req.payload[0] == 0x5B && req.payload[1] == 0xE4) {
            startRun = true;
            reply.note = "start program";
        } else {
            noReply(event, "unknown mode code", nowMs);
            return;
        }
    } else if (cmd == cs.erase && layout_.eraseBlock != 0) {
        std::string problem = headProblem(true);
        const std::uint32_t a = event.pageAddress.value_or(0);
        if (problem.empty() && req.payload.size() != 8) {
            problem = "erase request is not 8 bytes";
        }
        if (problem.empty() && (a < layout_.base || a >= memory_.size())) {
            problem = "erase address outside the program memory";
        }
        if (problem.empty() && config_.loaderGate && !loaderMode_) {
            problem = "not in loader mode";
        }
        if (!problem.empty()) {
            noReply(event, problem, nowMs);
            return;
        }
        // The whole aligned block that holds the address, within the program area.
        const std::uint32_t from =
            std::max(a / layout_.eraseBlock * layout_.eraseBlock, layout_.base);
        const std::uint32_t to = std::min<std::uint32_t>(
            a / layout_.eraseBlock * layout_.eraseBlock + layout_.eraseBlock,
            static_cast<std::uint32_t>(memory_.size()));
        std::fill(memory_.begin() + from, memory_.begin() + to, 0xFF);
        ++blocksErased_;
        busy = config_.eraseBusyMs;
        payload.assign(req.payload.begin(), req.payload.begin() + 8);
        reply.pageAddress = a;
        reply.note = "erased " + hex8(from) + ".." + hex8(to - 1);
    } else if (cmd == cs.program) {
        std::string problem = headProblem(true);
        const std::uint32_t a = event.pageAddress.value_or(0);
        if (problem.empty() && req.payload.size() != 8 + layout_.pageSize) {
            problem = "program request is not 8 + " + std::to_string(layout_.pageSize) + " bytes";
        }
        if (problem.empty() && (a < layout_.base || (a - layout_.base) % layout_.pageSize != 0 ||
                                std::uint64_t{a} + layout_.pageSize > memory_.size())) {
            problem = "program address not a page of the program memory";
        }
        if (problem.empty() && config_.loaderGate && !loaderMode_) {
            problem = "not in loader mode";
        }
        if (!problem.empty()) {
            noReply(event, problem, nowMs);
            return;
        }
        const std::uint32_t pageIndex = *page;
        if (rebootAtPage(pageIndex, event, nowMs)) {
            return;
        }
        for (std::uint32_t k = 0; k < layout_.pageSize; ++k) {
            const std::uint8_t b = req.payload[8 + k];
            // Flash cells only go from 1 to 0 without an erase.
            memory_[a + k] =
                layout_.writeReplaces ? b : static_cast<std::uint8_t>(memory_[a + k] & b);
        }
        for (const auto& r : config_.faults.rules) {
            if (r.target == FaultTarget::CorruptPage && r.index == pageIndex) {
                const auto off = static_cast<std::uint32_t>(nextRandom() % layout_.pageSize);
                memory_[a + off] ^= static_cast<std::uint8_t>(1u << (nextRandom() % 8));
                reply.note = "corrupted cell at " + hex8(a + off);
            }
        }
        notePageProgrammed();
        busy = config_.programBusyMs;
        payload.assign(req.payload.begin(), req.payload.begin() + 8);
        reply.pageAddress = a;
    } else if (cmd == cs.read) {
        std::string problem = headProblem(false);
        const std::uint32_t a = event.pageAddress.value_or(0);
        if (problem.empty() && req.payload.size() != 8) {
            problem = "read request is not 8 bytes";
        }
        if (problem.empty() && std::uint64_t{a} + layout_.pageSize > memory_.size()) {
            problem = "read address outside the program memory";
        }
        if (!problem.empty()) {
            noReply(event, problem, nowMs);
            return;
        }
        payload.assign(req.payload.begin(), req.payload.begin() + 8);
        payload.insert(payload.end(), memory_.begin() + a, memory_.begin() + a + layout_.pageSize);
        reply.pageAddress = a;
    } else {
        noReply(event, "unknown command", nowMs);
        return;
    }

    if (fx.cutShort && payload.size() > kShortReplyBytes) {
        payload.resize(kShortReplyBytes);
        reply.note = "short reply";
    }
    reply.payload = payload;
    const double end = queueReply(binaryReply(cmd, payload), std::move(reply),
                                  nowMs + config_.latencyMs + busy, fx);
    if (startRun) {
        ++runCount_;
        startReboot(end, config_.rebootMs, "start");
    }
}

void SimDevice::handleText(const Request& req, SimEvent& event, std::int64_t nowMs) {
    const std::string& t = req.text;
    std::size_t digits = 0;
    while (digits < t.size() && digits < 4 && t[digits] >= '0' && t[digits] <= '9') {
        ++digits;
    }
    if (digits < 2) {
        noReply(event, "text command without address", nowMs);
        return;
    }
    const auto address = static_cast<std::uint16_t>(std::stoul(t.substr(0, digits)));
    event.address = address;
    const std::string body = t.substr(digits);
    std::string code;
    if (body == "AS" || body == "AS1" || body == "Zx" || body == "Zx73") {
        code = body;
    } else if (body.rfind("YP", 0) == 0 || body.rfind("YV", 0) == 0 || body.rfind("YR", 0) == 0) {
        code = body.substr(0, 2);
    } else {
        noReply(event, "unknown text command", nowMs);
        return;
    }
    const bool discovery = code == "AS" || code == "AS1";
    if (address != config_.id && !(discovery && config_.discoveryQueries)) {
        noReply(event, "for another address", nowMs);
        return;
    }
    if (!layout_.textProtocol && code != "Zx" && code != "Zx73") {
        noReply(event, "text command on a binary device", nowMs);
        return;
    }
    // YP and YV carry the page address right after their code.
    std::optional<std::uint32_t> a;
    if (code == "YP" || code == "YV") {
        a = body.size() >= 10 ? parseHex(std::string_view(body).substr(2, 8)) : std::nullopt;
        if (!a) {
            noReply(event, "text page address is not 8 hex digits", nowMs);
            return;
        }
        event.pageAddress = *a;
    }
    const FaultTarget target = code == "YP"   ? FaultTarget::Program
                               : code == "YV" ? FaultTarget::Read
                                              : FaultTarget::Text;
    const RuleEffect fx =
        applyRules(target, a ? pageIndexOf(*a) : std::nullopt, std::nullopt, code, req.raw);
    if (fx.silent) {
        noReply(event, fx.reason, nowMs);
        return;
    }
    const int width = (digits == 4 || config_.id >= 100) ? 4 : 2;
    std::string payload;
    SimEvent reply;
    reply.kind = SimFrameKind::Text;
    reply.address = config_.id;
    reply.pageAddress = a;
    bool startRun = false;
    std::int64_t busy = 0;
    std::string replyCode = code == "Zx73" ? "Zx" : code == "AS1" ? "AS" : code;

    if (code == "AS1") {
        payload = hex4(reportedModel()) + hex8(config_.serialNumber);
        std::string name = config_.name;
        name.resize(12, '\0');
        payload += name + hex4(version_);
    } else if (code == "YP") {
        if (body.size() != 10 + 2 * layout_.pageSize) {
            noReply(event, "YP data is not " + std::to_string(2 * layout_.pageSize) + " hex digits",
                    nowMs);
            return;
        }
        if (*a % layout_.pageSize != 0 || std::uint64_t{*a} + layout_.pageSize > memory_.size()) {
            noReply(event, "program address not a page of the program memory", nowMs);
            return;
        }
        if (rebootAtPage(*a / layout_.pageSize, event, nowMs)) {
            return;
        }
        std::vector<std::uint8_t> data(layout_.pageSize);
        for (std::uint32_t k = 0; k < layout_.pageSize; ++k) {
            const int hi = hexValue(static_cast<std::uint8_t>(body[10 + 2 * k]));
            const int lo = hexValue(static_cast<std::uint8_t>(body[11 + 2 * k]));
            if (hi < 0 || lo < 0) {
                noReply(event, "YP data is not upper-case hexadecimal", nowMs);
                return;
            }
            data[k] = static_cast<std::uint8_t>(hi << 4 | lo);
        }
        std::copy(data.begin(), data.end(), memory_.begin() + *a);
        for (const auto& r : config_.faults.rules) {
            if (r.target == FaultTarget::CorruptPage && r.index == *a / layout_.pageSize) {
                const auto off = static_cast<std::uint32_t>(nextRandom() % layout_.pageSize);
                memory_[*a + off] ^= static_cast<std::uint8_t>(1u << (nextRandom() % 8));
                reply.note = "corrupted cell at " + hex8(*a + off);
            }
        }
        notePageProgrammed();
        busy = config_.programBusyMs;
    } else if (code == "YV") {
        if (body.size() != 10 || std::uint64_t{*a} + layout_.pageSize > memory_.size()) {
            noReply(event, "bad YV request", nowMs);
            return;
        }
        payload = hex8(*a);
        for (std::uint32_t k = 0; k < layout_.pageSize; ++k) {
            payload += hexByte(memory_[*a + k]);
        }
    } else if (code == "YR") {
        // YR C4E19D70 <length> <sum>: the loader sums the image it holds and
        // starts it; the reply tells whether both agreed.
        const auto length =
            body.size() == 26 ? parseHex(std::string_view(body).substr(10, 8)) : std::nullopt;
        const auto sum =
            body.size() == 26 ? parseHex(std::string_view(body).substr(18, 8)) : std::nullopt;
        if (!length || !sum || body.substr(2, 8) != "C4E19D70") {
            noReply(event, "bad YR request", nowMs);
            return;
        }
        SimRunCheck check;
        check.length = *length;
        check.sum = *sum;
        if (*length <= memory_.size()) {
            for (std::uint32_t k = 0; k < *length; ++k) {
                check.deviceSum += memory_[k];
            }
            check.matched = check.deviceSum == *sum;
        }
        lastRunCheck_ = check;
        payload = check.matched ? "OK" : "ER";
        reply.note = check.matched ? "image check matched"
                                   : "image check failed, device sum " + hex8(check.deviceSum);
        startRun = true;
    }
    if (fx.cutShort && payload.size() > kShortReplyBytes) {
        payload.resize(kShortReplyBytes);
        reply.note = "short reply";
    }
    reply.text = replyCode + payload;
    reply.command = 0;
    const double end = queueReply(textReply(width, replyCode, payload), std::move(reply),
                                  nowMs + config_.latencyMs + busy, fx);
    if (startRun) {
        ++runCount_;
        startReboot(end, config_.rebootMs, "start");
    }
}

}  // namespace flashmere
