#pragma once

// The simulator's own encoding of the line's bytes: control characters,
// hexadecimal text and the reply frames it sends.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// In a namespace of its own: the tool's link layer has constants of the same names.
namespace flashmere::simwire {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kReq = 0x05;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kTab = 0x09;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kAA = 0xAA;

// Upper-case hexadecimal digit value, -1 for anything else.
int hexValue(std::uint8_t c);
// 1 to 8 upper-case hexadecimal digits.
std::optional<std::uint32_t> parseHex(std::string_view text);
std::string hex4(std::uint32_t v);
std::string hex8(std::uint32_t v);
std::string hexString(std::span<const std::uint8_t> bytes);

void put16(std::vector<std::uint8_t>& out, std::uint16_t v);
std::uint16_t get16(const std::uint8_t* p);

// ACK, length, control, code, the device's ID, payload, CRC.
std::vector<std::uint8_t> binaryReplyFrame(std::uint16_t id, std::uint16_t code,
                                           std::span<const std::uint8_t> payload);
// ETX, the device's ID in addressDigits (2 or 4) digits, code, payload, EOT, CRC, CR.
std::vector<std::uint8_t> textReplyFrame(std::uint16_t id, int addressDigits,
                                         const std::string& code, const std::string& payload);

}  // namespace flashmere::simwire
