#include "device/device_protocol.h"

#include <cstdio>

namespace flashmere {

std::uint16_t replyWord(const ReplyFrame& reply, std::size_t pos) {
    return static_cast<std::uint16_t>((reply.payload[pos] << 8) | reply.payload[pos + 1]);
}

std::string replyText(const ReplyFrame& reply, std::size_t pos, std::size_t n) {
    std::string text;
    for (std::size_t i = pos; i < pos + n && reply.payload[i] != 0; ++i) {
        text += static_cast<char>(reply.payload[i]);
    }
    return text;
}

std::string hexWord(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFU);
    return text;
}

}  // namespace flashmere
