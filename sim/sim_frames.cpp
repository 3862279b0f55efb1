#include "sim_frames.h"

#include <algorithm>

#include "link/crc.h"
#include "sim_wire.h"

namespace flashmere {
namespace {

using namespace simwire;

// The host's buffers hold 1500 bytes, so no request is longer.
constexpr std::size_t kMaxFrame = 1500;
constexpr std::size_t kMaxTabText = 64;

bool printable(std::uint8_t b) {
    return b >= 0x20 && b <= 0x7E;
}

// The optional fields the control word announces: address, 32-bit value, PIN.
bool readBinaryFields(const std::uint8_t* p, std::uint16_t control, std::size_t& pos,
                      std::size_t end, SimRequest& out) {
    if (control & 0x0800) {
        if (pos + 2 > end) {
            return false;
        }
        out.address = get16(p + pos);
        pos += 2;
    }
    if (control & 0x0400) {
        if (pos + 4 > end) {
            return false;
        }
        out.value32 = static_cast<std::uint32_t>(get16(p + pos)) << 16 | get16(p + pos + 2);
        pos += 4;
    }
    if (control & 0x0200) {
        if (pos + 2 > end) {
            return false;
        }
        out.pin = get16(p + pos);
        pos += 2;
    }
    return true;
}

SimParse parseBinary(const std::uint8_t* p, std::size_t n, SimRequest& out, std::size_t& length,
                     std::string& reason) {
    if (n < 5) {
        return SimParse::Incomplete;
    }
    const std::size_t len = get16(p + 1);
    const std::uint16_t control = get16(p + 3);
    if (len < 6 || len + 3 > kMaxFrame || (control & 0x8000) == 0 || (control & 0x0001) == 0) {
        return SimParse::Invalid;  // a request always carries a CRC
    }
    const std::size_t total = len + 3;
    if (n < total) {
        return SimParse::Incomplete;
    }
    const std::uint16_t crc = crc16Kermit(std::span(p + 1, total - 3));
    if (crc != get16(p + total - 2)) {
        reason = "binary frame with a bad CRC";
        return SimParse::Invalid;
    }
    out.kind = SimFrameKind::Binary;
    out.control = control;
    out.command = get16(p + 5);
    std::size_t pos = 7;
    const std::size_t end = total - 2;
    if (!readBinaryFields(p, control, pos, end, out)) {
        reason = "binary frame too short for its fields";
        return SimParse::Invalid;
    }
    out.payload.assign(p + pos, p + end);
    length = total;
    return SimParse::Complete;
}

SimParse parseText(const std::uint8_t* p, std::size_t n, SimRequest& out, std::size_t& length,
                   std::string& reason) {
    std::size_t i = 1;
    while (i < n && p[i] != kStx) {
        if (!printable(p[i]) || i > kMaxFrame - 7) {
            return SimParse::Invalid;
        }
        ++i;
    }
    if (i >= n || n < i + 6) {
        return SimParse::Incomplete;
    }
    const std::uint16_t crc = crc16Arc(std::span(p, i + 1));
    const std::string want = hex4(crc);
    if (p[i + 5] != kCr) {
        return SimParse::Invalid;
    }
    if (!std::equal(want.begin(), want.end(), p + i + 1)) {
        reason = "text frame with a bad CRC";
        return SimParse::Invalid;
    }
    out.kind = SimFrameKind::Text;
    out.text.assign(reinterpret_cast<const char*>(p + 1), i - 1);
    length = i + 6;
    return SimParse::Complete;
}

SimParse parseTab(const std::uint8_t* p, std::size_t n, SimRequest& out, std::size_t& length,
                  std::string& reason) {
    std::size_t i = 1;
    while (i < n && p[i] != kCr) {
        if (!printable(p[i]) || i > kMaxTabText + 2) {
            return SimParse::Invalid;
        }
        ++i;
    }
    if (i >= n) {
        return SimParse::Incomplete;
    }
    if (i < 3) {
        return SimParse::Invalid;
    }
    std::uint8_t x = 0;
    for (std::size_t k = 0; k < i - 2; ++k) {
        x ^= p[k];
    }
    const int hi = hexValue(p[i - 2]);
    const int lo = hexValue(p[i - 1]);
    if (hi < 0 || lo < 0 || (hi << 4 | lo) != x) {
        reason = "TAB frame with a bad check";
        return SimParse::Invalid;
    }
    out.kind = SimFrameKind::Tab;
    out.text.assign(reinterpret_cast<const char*>(p + 1), i - 3);
    length = i + 1;
    return SimParse::Complete;
}

SimParse parseAA(const std::uint8_t* p, std::size_t n, SimRequest& out, std::size_t& length,
                 std::string& reason) {
    if (n < 3) {
        return SimParse::Incomplete;
    }
    if (p[1] != 0 || p[2] < 2) {
        return SimParse::Invalid;
    }
    const std::size_t count = p[2] - 2u;
    if ((n > 3 && p[3] != 0) || (n > 4 && p[4] != 0)) {
        return SimParse::Invalid;
    }
    const std::size_t total = count + 6;
    if (n < total) {
        return SimParse::Incomplete;
    }
    std::uint8_t x = 0;
    for (std::size_t k = 1; k < total - 1; ++k) {
        x ^= p[k];
    }
    if (x != p[total - 1]) {
        reason = "0xAA frame with a bad check";
        return SimParse::Invalid;
    }
    out.kind = SimFrameKind::AA;
    out.payload.assign(p + 5, p + 5 + count);
    length = total;
    return SimParse::Complete;
}

}  // namespace

bool isSimFrameStart(std::uint8_t b) {
    return b == kReq || b == kSoh || b == kTab || b == kAA;
}

SimParse parseSimFrame(std::span<const std::uint8_t> bytes, SimRequest& out, std::size_t& length,
                       std::string& reason) {
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    switch (p[0]) {
        case kReq:
            return parseBinary(p, n, out, length, reason);
        case kSoh:
            return parseText(p, n, out, length, reason);
        case kTab:
            return parseTab(p, n, out, length, reason);
        case kAA:
            return parseAA(p, n, out, length, reason);
        default:
            return SimParse::Invalid;
    }
}

}  // namespace flashmere
