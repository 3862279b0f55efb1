#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "link/reply_frame.h"

namespace flashmere {

constexpr std::uint8_t kBinaryRequestStart = 0x05;
constexpr std::uint8_t kBinaryReplyStart = 0x06;
constexpr std::string_view kDefaultPinText = "9174";
constexpr std::size_t kMaxBinaryPayloadWithoutPin = kFrameBufferSize - 11;
constexpr std::size_t kMaxBinaryPayloadWithPin = kFrameBufferSize - 13;

// The PIN field a request carries: none while the PIN box holds exactly
// "9174"; otherwise the box read as hexadecimal (0 when it is not hex),
// kept to 16 bits.
std::optional<std::uint16_t> pinFieldFor(std::string_view pinText);

// One request frame: 05, length, control word, command, address, [PIN],
// payload, CRC-16/KERMIT high byte first. A payload longer than the request
// buffer allows is cut to fit.
std::vector<std::uint8_t> buildBinaryRequest(std::uint16_t address, std::uint16_t command,
                                             std::span<const std::uint8_t> payload,
                                             std::optional<std::uint16_t> pin);

// Collects a binary reply (06 ...) into a ReplyFrame: bytes before the start
// byte are skipped, the frame is complete when its length field fits, and its
// CRC is checked when the control word asks for one.
class BinaryCollector final : public FrameCollector {
  public:
    explicit BinaryCollector(ReplyFrame& frame) : frame_(frame) {}
    CollectResult feed(std::uint8_t byte) override;
    bool frameBegun() const override { return started_; }

  private:
    CollectResult complete();

    ReplyFrame& frame_;
    bool started_ = false;
};

}  // namespace flashmere
