#include "service/device_probe.h"

#include <cstdio>

#include "device/device_session.h"
#include "link/link_channel.h"

namespace flashmere {
namespace {

constexpr std::uint16_t kIdentify = 0x0001;
constexpr std::uint16_t kNameAndVersions = 0x0003;

std::uint16_t wordAt(const ReplyFrame& reply, std::size_t pos) {
    return static_cast<std::uint16_t>((reply.payload[pos] << 8) | reply.payload[pos + 1]);
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFU);
    return text;
}

std::string textAt(const ReplyFrame& reply, std::size_t pos, std::size_t n) {
    std::string text;
    for (std::size_t i = pos; i < pos + n && reply.payload[i] != 0; ++i) {
        text += static_cast<char>(reply.payload[i]);
    }
    return text;
}

}  // namespace

DeviceProbe::DeviceProbe(TransportFactory& transports, Clock& clock, TraceSink& trace,
                         const OperatorOptions& options, std::int64_t replyWaitMs)
    : link_(transports, clock, trace) {
    link_.linkKind = options.linkKind;
    link_.settings = options.link;
    link_.pinText = options.pinText;
    link_.silenceLimitMs = replyWaitMs;
}

bool DeviceProbe::open() {
    return link_.openLink() && link_.connected();
}

void DeviceProbe::close() {
    link_.closeLink();
}

std::optional<ProbeAnswer> DeviceProbe::probe(std::uint16_t id) {
    if (auto answer = probeBinary(id)) {
        return answer;
    }
    return probeText(id);
}

std::optional<ProbeAnswer> DeviceProbe::probeBinary(std::uint16_t id) {
    const ReplyFrame& reply = link_.reply;
    if (!exchangeBinaryFrame(link_, id, kIdentify) || reply.codeWord != kIdentify) {
        return std::nullopt;
    }
    ProbeAnswer answer;
    answer.id = id;
    if (reply.payloadLength == 0 && reply.address == id) {
        answer.pinRefused = true;
        return answer;
    }
    if (reply.payloadLength != 8 || wordAt(reply, 6) != id) {
        return std::nullopt;
    }
    answer.model = hex4(wordAt(reply, 0));
    char serial[12];
    std::snprintf(serial, sizeof serial, "%04X%04X", unsigned{wordAt(reply, 2)},
                  unsigned{wordAt(reply, 4)});
    answer.serial = serial;

    if (exchangeBinaryFrame(link_, id, kNameAndVersions) && reply.codeWord == kNameAndVersions &&
        reply.payloadLength == 16) {
        answer.name = textAt(reply, 0, 12);
        answer.version = hex4(wordAt(reply, 12));
        answer.isp = hex4(wordAt(reply, 14));
    }
    return answer;
}

std::optional<ProbeAnswer> DeviceProbe::probeText(std::uint16_t id) {
    const ReplyFrame& reply = link_.reply;
    if (!exchangeTextCommand(link_, addressPrefix(id) + "AS1") || reply.payloadLength != 28 ||
        reply.address != id) {
        return std::nullopt;
    }
    ProbeAnswer answer;
    answer.id = id;
    answer.textFamily = true;
    answer.model = textAt(reply, 0, 4);
    answer.serial = textAt(reply, 4, 8);
    answer.name = textAt(reply, 12, 12);
    answer.version = textAt(reply, 24, 4);
    return answer;
}

}  // namespace flashmere
