#pragma once

#include <array>
#include <cstdint>

namespace flashmere {

constexpr std::size_t kFrameBufferSize = 1500;

// The last reply of either protocol. An exchange zero-fills raw and payload
// and zeroes payloadLength before it sends; the other fields keep their old
// values until a reply overwrites them.
struct ReplyFrame {
    std::array<std::uint8_t, kFrameBufferSize> raw{};
    std::size_t fill = 0;  // bytes collected; wraps to 0 at kFrameBufferSize
    std::uint16_t lengthField = 0;
    std::uint16_t controlWord = 0;
    std::uint16_t codeWord = 0;
    std::uint16_t address = 0;
    std::uint32_t value32 = 0;
    std::array<char, 2> textCode{};
    std::array<std::uint8_t, kFrameBufferSize> payload{};
    std::uint16_t payloadLength = 0;

    void clearForExchange() {
        raw.fill(0);
        payload.fill(0);
        payloadLength = 0;
    }
};

// Keeps a received byte of a reply that opens with `start`. Bytes before the
// first start byte are skipped (false); `started` records that it came. The
// fill position wraps to the beginning of raw when it is full.
inline bool keepReplyByte(ReplyFrame& frame, bool& started, std::uint8_t start, std::uint8_t byte) {
    if (!started) {
        if (byte != start) {
            return false;
        }
        started = true;
        frame.fill = 0;
    }
    frame.raw[frame.fill++] = byte;
    if (frame.fill == kFrameBufferSize) {
        frame.fill = 0;
    }
    return true;
}

// What a collector says after each received byte.
enum class CollectResult {
    Continue,  // not complete yet
    Accepted,  // a complete frame with a valid (or unflagged) check value
    Rejected,  // a complete frame whose check value is wrong
};

// Assembles one reply from received bytes into a ReplyFrame.
class FrameCollector {
  public:
    virtual ~FrameCollector() = default;
    virtual CollectResult feed(std::uint8_t byte) = 0;
    // A frame's start byte has come: what follows is a reply, not noise.
    virtual bool frameBegun() const { return false; }
};

}  // namespace flashmere
