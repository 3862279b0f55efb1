#include "link/text_frame.h"

#include <algorithm>
#include <cstring>

#include "link/crc.h"

namespace flashmere {
namespace {

bool isDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

std::uint16_t digitValue(std::uint8_t c) {
    return static_cast<std::uint16_t>(c - 0x30);
}

}  // namespace

std::vector<std::uint8_t> buildTextRequest(std::string_view commandText) {
    commandText = commandText.substr(0, std::min(commandText.size(), kMaxTextCommand));
    std::vector<std::uint8_t> frame;
    frame.reserve(commandText.size() + 7);
    frame.push_back(kSoh);
    frame.insert(frame.end(), commandText.begin(), commandText.end());
    frame.push_back(kStx);
    const std::uint16_t crc = crc16Arc(frame);
    for (char c : hexByte(static_cast<std::uint8_t>(crc >> 8)) +
                      hexByte(static_cast<std::uint8_t>(crc & 0xFF))) {
        frame.push_back(static_cast<std::uint8_t>(c));
    }
    frame.push_back(kCr);
    return frame;
}

CollectResult TextCollector::feed(std::uint8_t byte) {
    if (!keepReplyByte(frame_, started_, kEtx, byte)) {
        return CollectResult::Continue;
    }
    if (byte != kCr) {
        return CollectResult::Continue;
    }
    frame_.raw[frame_.fill] = 0;
    if (frame_.raw[0] != kEtx) {
        return CollectResult::Continue;
    }
    if (!checkCrc()) {
        return CollectResult::Rejected;
    }
    decode();
    return CollectResult::Accepted;
}

bool TextCollector::checkCrc() const {
    // The EOT and the four CRC characters must lie among the bytes of this
    // frame: after a reply longer than the buffer wrapped the fill position,
    // bytes past it are left over from before and prove nothing.
    const auto& raw = frame_.raw;
    const auto collected = std::span(raw).first(frame_.fill);
    const auto eot = std::find(collected.begin(), collected.end(), kEot);
    if (eot == collected.end()) {
        return false;
    }
    const auto covered = static_cast<std::size_t>(eot - collected.begin()) + 1;
    if (covered + 4 > frame_.fill) {
        return false;
    }
    const std::uint16_t crc = crc16Arc(std::span(raw).first(covered));
    const std::string expected = hexByte(static_cast<std::uint8_t>(crc >> 8)) +
                                 hexByte(static_cast<std::uint8_t>(crc & 0xFF));
    return std::memcmp(expected.data(), raw.data() + covered, 4) == 0;
}

void TextCollector::decode() {
    ReplyFrame& f = frame_;
    const auto& r = f.raw;
    std::size_t fixedParts;
    std::size_t payloadStart;
    if (isDigit(r[3])) {
        f.address = static_cast<std::uint16_t>(digitValue(r[1]) * 1000 + digitValue(r[2]) * 100 +
                                               digitValue(r[3]) * 10 + digitValue(r[4]));
        f.textCode = {static_cast<char>(r[5]), static_cast<char>(r[6])};
        fixedParts = 13;
        payloadStart = 7;
    } else {
        f.address = static_cast<std::uint16_t>(digitValue(r[1]) * 10 + digitValue(r[2]));
        f.textCode = {static_cast<char>(r[3]), static_cast<char>(r[4])};
        fixedParts = 11;
        payloadStart = 5;
    }
    // A reply shorter than its fixed parts has no payload; the copy never
    // runs past raw, and leaves room for the closing zero in payload.
    const std::size_t length = f.fill >= fixedParts ? f.fill - fixedParts : 0;
    const std::size_t copy = std::min(length, kFrameBufferSize - 1 - payloadStart);
    std::copy_n(r.begin() + static_cast<std::ptrdiff_t>(payloadStart), copy, f.payload.begin());
    f.payload[copy] = 0;
    f.payloadLength = static_cast<std::uint16_t>(copy);
}

}  // namespace flashmere
