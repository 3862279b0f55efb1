#include "service/device_probe.h"

#include <cstdio>

#include "device/device_protocol.h"
#include "device/device_session.h"
#include "link/link_channel.h"

namespace flashmere {

DeviceProbe::DeviceProbe(TransportFactory& transports, Clock& clock, TraceSink& trace,
                         const OperatorOptions& options, std::int64_t replyWaitMs)
    : link_(transports, clock, trace) {
    applyLinkOptions(link_, options);
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
    if (!exchangeBinaryFrame(link_, id, kHelloCommand) || reply.codeWord != kHelloCommand) {
        return std::nullopt;
    }
    ProbeAnswer answer;
    answer.id = id;
    if (reply.payloadLength == 0 && reply.address == id) {
        answer.pinRefused = true;
        return answer;
    }
    if (reply.payloadLength != 8 || replyWord(reply, 6) != id) {
        return std::nullopt;
    }
    answer.model = hexWord(replyWord(reply, 0));
    char serial[12];
    std::snprintf(serial, sizeof serial, "%04X%04X", unsigned{replyWord(reply, 2)},
                  unsigned{replyWord(reply, 4)});
    answer.serial = serial;

    if (exchangeBinaryFrame(link_, id, kNameAndVersionsCommand) &&
        reply.codeWord == kNameAndVersionsCommand && reply.payloadLength == 16) {
        answer.name = replyText(reply, 0, 12);
        answer.version = hexWord(replyWord(reply, 12));
        answer.isp = hexWord(replyWord(reply, 14));
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
    answer.model = replyText(reply, 0, 4);
    answer.serial = replyText(reply, 4, 8);
    answer.name = replyText(reply, 12, 12);
    answer.version = replyText(reply, 24, 4);
    return answer;
}

}  // namespace flashmere
