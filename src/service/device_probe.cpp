#include "service/device_probe.h"

#include <cstdio>

#include "device/device_protocol.h"
#include "device/device_session.h"
#include "device/link_failure.h"
#include "link/link_channel.h"

namespace flashmere {

DeviceProbe::DeviceProbe(TransportFactory& transports, Clock& clock, TraceSink& trace,
                         const OperatorOptions& options, std::int64_t replyWaitMs)
    : link_(transports, clock, trace) {
    applyLinkOptions(link_, options);
    link_.silenceLimitMs = replyWaitMs;
}

bool DeviceProbe::open() {
    const bool opened = link_.openLink();
    openFailure_ = linkOpenFailure(link_, opened, "");
    if (opened && !link_.connected() && openFailure_.empty()) {
        openFailure_ = "cannot connect to " + describeLink(link_);
    }
    return opened && link_.connected();
}

// A reply came, but damaged (a bad check value, a start byte lost) or cut
// short: the device is likely there, so it is asked again.
bool DeviceProbe::askAgain(int asked) const {
    const ExchangeEnd end = link_.lastEnd();
    const bool damaged =
        end == ExchangeEnd::Damaged || end == ExchangeEnd::Cut || end == ExchangeEnd::Noise;
    return damaged && asked < kAsksPerRequest;
}

bool DeviceProbe::askBinary(std::uint16_t id, std::uint16_t command) {
    for (int asked = 1;; ++asked) {
        if (exchangeBinaryFrame(link_, id, command) && link_.reply.codeWord == command) {
            return true;
        }
        if (!askAgain(asked)) {
            return false;
        }
    }
}

bool DeviceProbe::askText(std::uint16_t id) {
    for (int asked = 1;; ++asked) {
        if (exchangeTextCommand(link_, addressPrefix(id) + "AS1")) {
            return true;
        }
        if (!askAgain(asked)) {
            return false;
        }
    }
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
    if (!askBinary(id, kHelloCommand)) {
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

    if (askBinary(id, kNameAndVersionsCommand) && reply.payloadLength == 16) {
        answer.name = replyText(reply, 0, 12);
        answer.version = hexWord(replyWord(reply, 12));
        answer.isp = hexWord(replyWord(reply, 14));
    }
    return answer;
}

std::optional<ProbeAnswer> DeviceProbe::probeText(std::uint16_t id) {
    const ReplyFrame& reply = link_.reply;
    if (!askText(id) || reply.payloadLength != 28 || reply.address != id) {
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
