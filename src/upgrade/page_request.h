#pragma once

#include <array>
#include <cstdint>

#include "device/model_tables.h"

namespace flashmere {

// The 8-byte head of every erase, program and read request: five zero bytes
// and the page's device address in the 24-bit or the 16-bit form.
inline std::array<std::uint8_t, 8> pageRequestHead(std::uint32_t address, AddressForm form) {
    return {0,
            0,
            0,
            0,
            0,
            form == AddressForm::Bits24 ? static_cast<std::uint8_t>((address >> 16) & 0xFF)
                                        : std::uint8_t{0},
            static_cast<std::uint8_t>((address >> 8) & 0xFF),
            static_cast<std::uint8_t>(address & 0xFF)};
}

}  // namespace flashmere
