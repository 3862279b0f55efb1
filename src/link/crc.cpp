#include "link/crc.h"

#include <array>

namespace flashmere {
namespace {

constexpr std::array<std::uint16_t, 256> reflectedTable(std::uint16_t poly) {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) ? static_cast<std::uint16_t>((crc >> 1) ^ poly)
                             : static_cast<std::uint16_t>(crc >> 1);
        }
        table[i] = crc;
    }
    return table;
}

constexpr auto kKermitTable = reflectedTable(0x8408);
constexpr auto kArcTable = reflectedTable(0xA001);

std::uint16_t runTable(const std::array<std::uint16_t, 256>& table,
                       std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(table[(crc ^ b) & 0xFFU] ^ (crc >> 8));
    }
    return crc;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

std::uint16_t crc16Kermit(std::span<const std::uint8_t> bytes) {
    return runTable(kKermitTable, bytes);
}

std::uint16_t crc16Arc(std::span<const std::uint8_t> bytes) {
    return runTable(kArcTable, bytes);
}

std::string hexByte(std::uint8_t byte) {
    return std::string{kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
}

std::string hexTrace(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        text += kHexDigits[b >> 4];
        text += kHexDigits[b & 0x0F];
        text += ' ';
    }
    return text;
}

}  // namespace flashmere
