#pragma once

// Helpers shared by the simulator tests: requests are built with the tool's
// own frame code (so the tests also prove the two sides agree), replies are
// decoded with the tool's collectors.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "link/binary_frame.h"
#include "link/text_frame.h"
#include "sim_device.h"

namespace flashmere::simtest {

constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max() / 4;

inline std::vector<std::uint8_t> binaryRequest(std::uint16_t address, std::uint16_t command,
                                               std::vector<std::uint8_t> payload = {},
                                               std::optional<std::uint16_t> pin = std::nullopt) {
    return buildBinaryRequest(address, command, payload, pin);
}

inline std::vector<std::uint8_t> pageHead(std::uint32_t address) {
    return {0,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

inline std::vector<std::uint8_t> withData(std::vector<std::uint8_t> head,
                                          const std::vector<std::uint8_t>& data) {
    head.insert(head.end(), data.begin(), data.end());
    return head;
}

inline const std::vector<std::uint8_t> kEnterLoader{0x6D, 0x2E, 0, 0, 0, 0, 0, 0};
inline const std::vector<std::uint8_t> kStartProgram{0x5B, 0xE4, 0, 0, 0, 0, 0, 0};

// Every byte the device has put out up to `until`, in order.
inline std::vector<std::uint8_t> drain(SimDevice& device, std::int64_t until = kForever) {
    std::vector<std::uint8_t> bytes;
    for (const auto& out : device.takeDue(until)) {
        bytes.insert(bytes.end(), out.bytes.begin(), out.bytes.end());
    }
    return bytes;
}

// Decodes the first reply in bytes; nullopt when none is complete and valid.
inline std::optional<ReplyFrame> decodeBinary(const std::vector<std::uint8_t>& bytes) {
    ReplyFrame frame;
    BinaryCollector collector(frame);
    for (const auto b : bytes) {
        const auto r = collector.feed(b);
        if (r == CollectResult::Accepted) {
            return frame;
        }
        if (r == CollectResult::Rejected) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

inline std::optional<ReplyFrame> decodeText(const std::vector<std::uint8_t>& bytes) {
    ReplyFrame frame;
    TextCollector collector(frame);
    for (const auto b : bytes) {
        const auto r = collector.feed(b);
        if (r == CollectResult::Accepted) {
            return frame;
        }
        if (r == CollectResult::Rejected) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

inline std::vector<std::uint8_t> payloadOf(const ReplyFrame& f) {
    return {f.payload.begin(), f.payload.begin() + f.payloadLength};
}

// One request in, everything out: the reply decoded, or nullopt for silence.
inline std::optional<ReplyFrame> askBinary(SimDevice& device, const std::vector<std::uint8_t>& req,
                                           std::int64_t nowMs = 0) {
    device.receive(req, nowMs);
    return decodeBinary(drain(device));
}

inline std::optional<ReplyFrame> askText(SimDevice& device, const std::string& text,
                                         std::int64_t nowMs = 0) {
    device.receive(buildTextRequest(text), nowMs);
    return decodeText(drain(device));
}

inline std::size_t countEvents(const SimDevice& device, SimEventType type) {
    std::size_t n = 0;
    for (const auto& e : device.transcript()) {
        n += e.type == type;
    }
    return n;
}

inline const SimEvent* lastEvent(const SimDevice& device, SimEventType type) {
    const auto& t = device.transcript();
    for (auto it = t.rbegin(); it != t.rend(); ++it) {
        if (it->type == type) {
            return &*it;
        }
    }
    return nullptr;
}

inline std::string transcriptJson(const SimDevice& device) {
    std::string out;
    for (const auto& e : device.transcript()) {
        out += toJsonLine(e) + "\n";
    }
    return out;
}

inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(seed + i * 37 + (i >> 3));
    }
    return v;
}

}  // namespace flashmere::simtest
