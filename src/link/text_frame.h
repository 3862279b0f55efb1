#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "link/reply_frame.h"

namespace flashmere {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::size_t kMaxTextCommand = kFrameBufferSize - 7;

// SOH, the command text, STX, CRC-16/ARC over SOH..STX as four upper-case
// hex characters, CR. A text longer than the request buffer allows is cut.
std::vector<std::uint8_t> buildTextRequest(std::string_view commandText);

// Collects a text reply (ETX address code payload EOT crc4 CR) into a
// ReplyFrame. A CR ends the frame; its CRC (upper-case hex only) must match.
class TextCollector final : public FrameCollector {
  public:
    explicit TextCollector(ReplyFrame& frame) : frame_(frame) {}
    CollectResult feed(std::uint8_t byte) override;
    bool frameBegun() const override { return started_; }

  private:
    bool checkCrc() const;
    void decode();

    ReplyFrame& frame_;
    bool started_ = false;
};

}  // namespace flashmere
