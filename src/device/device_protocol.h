#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/reply_frame.h"

namespace flashmere {

// The requests every device of the binary family answers, whatever its model.

// The hello request: the device answers with its model, serial number and ID
// (8 bytes), or with no payload when it refuses the PIN.
inline constexpr std::uint16_t kHelloCommand = 0x0001;
// The device's name (12 bytes), program version and loader version.
inline constexpr std::uint16_t kNameAndVersionsCommand = 0x0003;

// The payloads of a model's mode command: switch to the loader, and start the
// program again.
inline constexpr std::array<std::uint8_t, 8> kLoaderModePayload = {0x6D, 0x2E, 0, 0, 0, 0, 0, 0};
inline constexpr std::array<std::uint8_t, 8> kRunModePayload = {0x5B, 0xE4, 0, 0, 0, 0, 0, 0};

// The big-endian word at pos of the reply's payload.
std::uint16_t replyWord(const ReplyFrame& reply, std::size_t pos);
// Payload characters from pos, at most n, cut at the first zero byte.
std::string replyText(const ReplyFrame& reply, std::size_t pos, std::size_t n);
// "%04X" of a word: how model codes, versions and IDs are shown.
std::string hexWord(unsigned value);

}  // namespace flashmere
