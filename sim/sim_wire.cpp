#include "sim_wire.h"

#include <cstdio>

#include "link/crc.h"

namespace flashmere::simwire {
namespace {

constexpr std::uint16_t kReplyControl = 0x8801;

}  // namespace

int hexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;  // the line carries upper-case hexadecimal only
}

std::optional<std::uint32_t> parseHex(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t v = 0;
    for (const char c : text) {
        const int d = hexValue(static_cast<std::uint8_t>(c));
        if (d < 0) {
            return std::nullopt;
        }
        v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return v;
}

std::string hex4(std::uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
    return buf;
}

std::string hex8(std::uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

std::string hexString(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const auto b : bytes) {
        out += hexByte(b);
    }
    return out;
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::vector<std::uint8_t> binaryReplyFrame(std::uint16_t id, std::uint16_t code,
                                           std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out;
    out.reserve(payload.size() + 11);
    out.push_back(kAck);
    put16(out, static_cast<std::uint16_t>(payload.size() + 8));
    put16(out, kReplyControl);
    put16(out, code);
    put16(out, id);
    out.insert(out.end(), payload.begin(), payload.end());
    const std::uint16_t crc = crc16Kermit(std::span(out).subspan(1));
    put16(out, crc);
    return out;
}

std::vector<std::uint8_t> textReplyFrame(std::uint16_t id, int addressDigits,
                                         const std::string& code, const std::string& payload) {
    char addr[8];
    std::snprintf(addr, sizeof addr, addressDigits == 4 ? "%04u" : "%02u",
                  static_cast<unsigned>(id));
    std::vector<std::uint8_t> out;
    out.push_back(kEtx);
    for (const char* p = addr; *p; ++p) {
        out.push_back(static_cast<std::uint8_t>(*p));
    }
    out.insert(out.end(), code.begin(), code.end());
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(kEot);
    const std::uint16_t crc = crc16Arc(out);
    for (const char c : hex4(crc)) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    out.push_back(kCr);
    return out;
}

}  // namespace flashmere::simwire
