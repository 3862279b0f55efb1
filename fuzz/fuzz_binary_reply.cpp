// Binary replies (06 ...) from a device: the collector alone, byte by byte,
// and the same bytes through a LinkChannel whose line hands them over in
// pieces on a virtual clock. Both must agree, and nothing may be read or
// written past the frame buffers.
//
// Input: flags byte (see lineShapeFrom), split seed, then the line's bytes.

#include <algorithm>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"
#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/link_channel.h"

namespace flashmere::fuzz {
namespace {

std::uint16_t word(const ReplyFrame& f, std::size_t pos) {
    return static_cast<std::uint16_t>(f.raw[pos] << 8 | f.raw[pos + 1]);
}

void checkDecided(const ReplyFrame& f, CollectResult result) {
    FUZZ_CHECK(f.fill < kFrameBufferSize);
    FUZZ_CHECK(f.raw[0] == kBinaryReplyStart);
    FUZZ_CHECK(f.fill >= 7);
    FUZZ_CHECK(f.lengthField + 3U == f.fill);
    FUZZ_CHECK(f.controlWord == word(f, 3));
    FUZZ_CHECK(f.codeWord == word(f, 5));
    const bool crcAsked = (f.raw[4] & 0x01) != 0;
    const bool crcRight =
        crc16Kermit(std::span(f.raw).subspan(1, f.fill - 3)) == word(f, f.fill - 2);
    if (result == CollectResult::Rejected) {
        FUZZ_CHECK(crcAsked && !crcRight);
        return;
    }
    FUZZ_CHECK(!crcAsked || crcRight);
    const std::size_t expectedLength = f.lengthField >= 8 ? f.lengthField - 8U : 0U;
    FUZZ_CHECK(f.payloadLength == expectedLength);
    FUZZ_CHECK(f.payloadLength <= kFrameBufferSize);
    std::size_t p = 7;
    p += (f.raw[3] & 0x08) ? 2 : 0;
    p += (f.raw[3] & 0x04) ? 4 : 0;
    // The payload is a copy of the bytes after the fields; what the copy
    // did not reach stays zero from the start of the exchange.
    const std::size_t copied = std::min<std::size_t>(f.payloadLength, kFrameBufferSize - p);
    FUZZ_CHECK(std::equal(f.payload.begin(),
                          f.payload.begin() + static_cast<std::ptrdiff_t>(copied),
                          f.raw.begin() + static_cast<std::ptrdiff_t>(p)));
    FUZZ_CHECK(std::all_of(f.payload.begin() + static_cast<std::ptrdiff_t>(copied), f.payload.end(),
                           [](std::uint8_t b) { return b == 0; }));
}

bool sameFrame(const ReplyFrame& a, const ReplyFrame& b) {
    return a.raw == b.raw && a.fill == b.fill && a.lengthField == b.lengthField &&
           a.controlWord == b.controlWord && a.codeWord == b.codeWord && a.address == b.address &&
           a.value32 == b.value32 && a.payload == b.payload && a.payloadLength == b.payloadLength;
}

}  // namespace
}  // namespace flashmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flashmere;
    using namespace flashmere::fuzz;
    ByteReader in(data, size);
    const std::uint8_t flags = in.u8();
    const std::uint8_t seed = in.u8();
    const std::span<const std::uint8_t> line = in.rest();

    // The collector alone, as the link feeds it.
    auto direct = std::make_unique<ReplyFrame>();
    const CollectResult result = collectDirectly<BinaryCollector>(*direct, line);
    if (result != CollectResult::Continue) {
        checkDecided(*direct, result);
    }

    // The same bytes through the link, in pieces.
    VirtualClock clock;
    PieceTransportFactory factory(line, lineShapeFrom(flags, seed), clock);
    CountingTraceSink trace;
    LinkChannel link(factory, clock, trace);
    link.linkKind = (flags & 1) ? kLinkNet : kLinkCom;
    link.pinText = pinTextFrom(flags);
    FUZZ_CHECK(link.openLink());
    static constexpr std::uint8_t kReadHead[] = {0, 0, 0, 0, 0, 0, 0x01, 0x00};
    const bool ok = exchangeBinaryFrame(link, 1, 0x0003, kReadHead);
    FUZZ_CHECK(ok == (result == CollectResult::Accepted));
    FUZZ_CHECK(sameFrame(link.reply, *direct));
    if (ok && link.isNet()) {
        // The payload shown in the received trace: three characters a byte.
        FUZZ_CHECK(trace.rx == 3U * link.reply.payloadLength);
    }
    link.closeLink();
    return 0;
}
