#pragma once

// Request frames as the device's receiver finds them in its input: binary
// (05 ...), text (SOH ... STX CRC CR), TAB wake-ups and 0xAA frames.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim_event.h"

namespace flashmere {

struct SimRequest {
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

enum class SimParse { Incomplete, Invalid, Complete };

// True for a byte that may start a request frame.
bool isSimFrameStart(std::uint8_t b);

// Reads the frame that starts at bytes[0]. Complete: out and length (bytes
// taken) are set. Invalid: reason is set when the frame was whole but wrong.
SimParse parseSimFrame(std::span<const std::uint8_t> bytes, SimRequest& out, std::size_t& length,
                       std::string& reason);

}  // namespace flashmere
