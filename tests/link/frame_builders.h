#pragma once

// Replies as a device sends them, for the link tests.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "link/crc.h"
#include "link/text_frame.h"

namespace flashmere::testing_frames {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ascii(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        for (std::uint8_t b : p) {
            out.push_back(b);
        }
    }
    return out;
}

// 06, L, control word, code word, optional fields and payload, CRC-16/KERMIT
// (spoiled when goodCrc is false).
inline Bytes binaryReply(std::uint16_t control, std::uint16_t code, const Bytes& fieldsAndPayload,
                         bool goodCrc = true) {
    Bytes f;
    f.reserve(fieldsAndPayload.size() + 9);
    for (std::uint8_t b :
         {std::uint8_t{0x06}, std::uint8_t{0}, std::uint8_t{0},
          static_cast<std::uint8_t>(control >> 8), static_cast<std::uint8_t>(control & 0xFF),
          static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)}) {
        f.push_back(b);
    }
    for (std::uint8_t b : fieldsAndPayload) {
        f.push_back(b);
    }
    const std::size_t length = f.size() - 3 + 2;
    f[1] = static_cast<std::uint8_t>(length >> 8);
    f[2] = static_cast<std::uint8_t>(length & 0xFF);
    std::uint16_t crc = crc16Kermit(std::span(f).subspan(1));
    if (!goodCrc) {
        crc ^= 0x0101;
    }
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return f;
}

// ETX, body (address, code, payload), EOT, CRC-16/ARC as hex text, CR.
inline Bytes textReply(std::string_view body) {
    Bytes f;
    f.reserve(body.size() + 7);
    f.push_back(kEtx);
    for (char c : body) {
        f.push_back(static_cast<std::uint8_t>(c));
    }
    f.push_back(kEot);
    const std::uint16_t crc = crc16Arc(f);
    for (char c : hexByte(static_cast<std::uint8_t>(crc >> 8)) +
                      hexByte(static_cast<std::uint8_t>(crc & 0xFF))) {
        f.push_back(static_cast<std::uint8_t>(c));
    }
    f.push_back(kCr);
    return f;
}

}  // namespace flashmere::testing_frames
