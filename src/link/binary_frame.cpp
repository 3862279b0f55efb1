#include "link/binary_frame.h"

#include <algorithm>
#include <cctype>

#include "link/crc.h"

namespace flashmere {
namespace {

void putWord(std::vector<std::uint8_t>& out, std::uint16_t word) {
    out.push_back(static_cast<std::uint8_t>(word >> 8));
    out.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

std::uint16_t wordAt(const ReplyFrame& f, std::size_t pos) {
    return static_cast<std::uint16_t>((f.raw[pos] << 8) | f.raw[pos + 1]);
}

}  // namespace

std::optional<std::uint16_t> pinFieldFor(std::string_view pinText) {
    if (pinText == kDefaultPinText) {
        return std::nullopt;
    }
    // The box text is read as "0x" + text; anything that is not a hex number
    // (empty, blanks, signs, more digits than an integer holds) gives 0.
    if (pinText.empty() || pinText.size() > 8 ||
        !std::all_of(pinText.begin(), pinText.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
        return std::uint16_t{0};
    }
    std::uint32_t value = 0;
    for (char c : pinText) {
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::uint16_t>(value & 0xFFFF);
}

std::vector<std::uint8_t> buildBinaryRequest(std::uint16_t address, std::uint16_t command,
                                             std::span<const std::uint8_t> payload,
                                             std::optional<std::uint16_t> pin) {
    const std::size_t limit = pin ? kMaxBinaryPayloadWithPin : kMaxBinaryPayloadWithoutPin;
    payload = payload.first(std::min(payload.size(), limit));
    const std::size_t n = payload.size();

    std::vector<std::uint8_t> frame;
    frame.reserve(n + 13);
    frame.push_back(kBinaryRequestStart);
    putWord(frame, static_cast<std::uint16_t>(n + (pin ? 10 : 8)));
    putWord(frame, pin ? 0x8A01 : 0x8801);
    putWord(frame, command);
    putWord(frame, address);
    if (pin) {
        putWord(frame, *pin);
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    putWord(frame, crc16Kermit(std::span(frame).subspan(1)));
    return frame;
}

CollectResult BinaryCollector::feed(std::uint8_t byte) {
    if (!keepReplyByte(frame_, started_, kBinaryReplyStart, byte)) {
        return CollectResult::Continue;
    }
    if (frame_.fill > 6 && frame_.raw[0] == kBinaryReplyStart) {
        frame_.lengthField = wordAt(frame_, 1);
        if (frame_.lengthField + 3U == frame_.fill) {
            return complete();
        }
    }
    return CollectResult::Continue;
}

CollectResult BinaryCollector::complete() {
    ReplyFrame& f = frame_;
    const std::uint16_t length = f.lengthField;
    f.payloadLength = static_cast<std::uint16_t>(length - 8);
    f.controlWord = wordAt(f, 3);
    f.codeWord = wordAt(f, 5);
    std::size_t p = 7;
    if (f.raw[3] & 0x08) {
        f.address = wordAt(f, p);
        p += 2;
    }
    if (f.raw[3] & 0x04) {
        f.value32 = (std::uint32_t{wordAt(f, p)} << 16) | wordAt(f, p + 2);
        p += 4;
    }
    if (f.raw[4] & 0x01) {
        const std::uint16_t computed = crc16Kermit(std::span(f.raw).first(f.fill - 2).subspan(1));
        if (computed != wordAt(f, f.fill - 2)) {
            return CollectResult::Rejected;
        }
    }
    // A length field below 8 would make the payload length negative: such a
    // reply has no payload. No copy runs past raw or payload.
    if (length < 8) {
        f.payloadLength = 0;
    }
    const std::size_t copy = std::min<std::size_t>(f.payloadLength, kFrameBufferSize - p);
    std::copy_n(f.raw.begin() + static_cast<std::ptrdiff_t>(p), copy, f.payload.begin());
    return CollectResult::Accepted;
}

}  // namespace flashmere
