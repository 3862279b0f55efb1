#pragma once

#include <cstdint>

namespace flashmere {

// The text family speaks text commands: code AND 0xFFF0 is 0x8800 or 0x8900.
// Every other model code speaks binary frames.
constexpr bool isTextFamily(std::uint16_t modelCode) {
    const auto group = modelCode & 0xFFF0;
    return group == 0x8800 || group == 0x8900;
}

}  // namespace flashmere
