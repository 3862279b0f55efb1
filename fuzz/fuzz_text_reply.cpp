// Text replies (ETX address code payload EOT crc4 CR) from a device: the
// collector with its CRC check and decode, byte by byte, and the same bytes
// through a LinkChannel in pieces on a virtual clock.
//
// Input: flags byte (see lineShapeFrom; bit 7 repairs the CRC of the first
// frame so that the decode is reached), split seed, then the line's bytes.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "link/crc.h"
#include "link/link_channel.h"
#include "link/text_frame.h"

namespace flashmere::fuzz {
namespace {

// Writes the right CRC and CR after the first EOT that follows the first
// ETX, when the line has room for them.
void repairFirstCrc(std::vector<std::uint8_t>& line) {
    const auto etx = std::find(line.begin(), line.end(), kEtx);
    if (etx == line.end()) {
        return;
    }
    const auto eot = std::find(etx, line.end(), kEot);
    if (eot == line.end() || line.end() - eot < 6) {
        return;
    }
    const std::uint16_t crc = crc16Arc(std::span(etx, eot + 1));
    const std::string hex = hexByte(static_cast<std::uint8_t>(crc >> 8)) +
                            hexByte(static_cast<std::uint8_t>(crc & 0xFF));
    std::copy(hex.begin(), hex.end(), eot + 1);
    *(eot + 5) = kCr;
}

void checkDecided(const ReplyFrame& f, CollectResult result) {
    FUZZ_CHECK(f.fill >= 1 && f.fill < kFrameBufferSize);
    FUZZ_CHECK(f.raw[0] == kEtx);
    FUZZ_CHECK(f.raw[f.fill - 1] == kCr);
    if (result == CollectResult::Rejected) {
        return;
    }
    // The check value lies inside the frame: EOT, four hex digits, then the
    // closing CR, all before fill.
    const auto end = f.raw.begin() + static_cast<std::ptrdiff_t>(f.fill);
    const auto eot = std::find(f.raw.begin(), end, kEot);
    FUZZ_CHECK(eot != end);
    const auto covered = static_cast<std::size_t>(eot - f.raw.begin()) + 1;
    FUZZ_CHECK(covered + 4 < f.fill);
    const std::uint16_t crc = crc16Arc(std::span(f.raw).first(covered));
    const std::string hex = hexByte(static_cast<std::uint8_t>(crc >> 8)) +
                            hexByte(static_cast<std::uint8_t>(crc & 0xFF));
    FUZZ_CHECK(std::memcmp(hex.data(), f.raw.data() + covered, 4) == 0);

    const bool fourDigits = f.raw[3] >= '0' && f.raw[3] <= '9';
    const std::size_t start = fourDigits ? 7 : 5;
    const std::size_t fixed = fourDigits ? 13 : 11;
    FUZZ_CHECK(f.payloadLength <= kFrameBufferSize - 1 - start);
    FUZZ_CHECK(f.payloadLength ==
               std::min(f.fill >= fixed ? f.fill - fixed : 0, kFrameBufferSize - 1 - start));
    FUZZ_CHECK(f.payload[f.payloadLength] == 0);
    FUZZ_CHECK(std::equal(f.payload.begin(), f.payload.begin() + f.payloadLength,
                          f.raw.begin() + static_cast<std::ptrdiff_t>(start)));
    FUZZ_CHECK(f.textCode[0] == static_cast<char>(f.raw[start - 2]));
    FUZZ_CHECK(f.textCode[1] == static_cast<char>(f.raw[start - 1]));
}

bool sameFrame(const ReplyFrame& a, const ReplyFrame& b) {
    return a.raw == b.raw && a.fill == b.fill && a.address == b.address &&
           a.textCode == b.textCode && a.payload == b.payload && a.payloadLength == b.payloadLength;
}

}  // namespace
}  // namespace flashmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flashmere;
    using namespace flashmere::fuzz;
    ByteReader in(data, size);
    const std::uint8_t flags = in.u8();
    const std::uint8_t seed = in.u8();
    const auto rest = in.rest();
    std::vector<std::uint8_t> line(rest.begin(), rest.end());
    if (flags & 0x80) {
        repairFirstCrc(line);
    }

    auto direct = std::make_unique<ReplyFrame>();
    const CollectResult result = collectDirectly<TextCollector>(*direct, line);
    if (result != CollectResult::Continue) {
        checkDecided(*direct, result);
    }

    VirtualClock clock;
    PieceTransportFactory factory(line, lineShapeFrom(flags, seed), clock);
    CountingTraceSink trace;
    LinkChannel link(factory, clock, trace);
    link.linkKind = (flags & 1) ? kLinkNet : kLinkCom;
    FUZZ_CHECK(link.openLink());
    const bool ok = exchangeTextCommand(link, "01AS1");
    FUZZ_CHECK(ok == (result == CollectResult::Accepted));
    FUZZ_CHECK(sameFrame(link.reply, *direct));
    link.closeLink();
    return 0;
}
