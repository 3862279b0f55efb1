#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace flashmere {

// TAB, text, XOR of TAB and text as two hex characters, CR.
std::vector<std::uint8_t> buildTabFrame(std::string_view text);

// AA 00 (c+2) 00 00 data.., XOR of every byte after the AA.
std::vector<std::uint8_t> buildAAFrame(std::span<const std::uint8_t> data);

// The mode command 6D 2E without address field and with a zero 32-bit
// value, CRC-16/KERMIT over bytes 1..18. Sent exactly as stored.
extern const std::array<std::uint8_t, 21> kFixedBlock;

}  // namespace flashmere
