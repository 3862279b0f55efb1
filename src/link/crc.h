#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace flashmere {

// CRC-16/KERMIT (reflected 0x1021, init 0, no final XOR) of the binary frames.
// The frames carry it high byte first.
std::uint16_t crc16Kermit(std::span<const std::uint8_t> bytes);

// CRC-16/ARC (reflected 0x8005, init 0, no final XOR) of the text commands.
std::uint16_t crc16Arc(std::span<const std::uint8_t> bytes);

// Two upper-case hexadecimal characters, high nibble first.
std::string hexByte(std::uint8_t byte);

// "%02X " for every byte: the form of the window's hexadecimal traces.
std::string hexTrace(std::span<const std::uint8_t> bytes);

}  // namespace flashmere
