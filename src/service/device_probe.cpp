#include "service/device_probe.h"

#include <array>
#include <cstdio>

#include "device/device_session.h"
#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/link_channel.h"
#include "link/text_frame.h"

namespace flashmere {
namespace {

constexpr std::uint16_t kIdentify = 0x0001;
constexpr std::uint16_t kNameAndVersions = 0x0003;
constexpr std::size_t kScratchSize = 2048;

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
    : transports_(transports),
      clock_(clock),
      trace_(trace),
      options_(options),
      replyWaitMs_(replyWaitMs) {}

DeviceProbe::~DeviceProbe() {
    close();
}

bool DeviceProbe::open() {
    close();
    const LinkSettings& link = options_.link;
    if (options_.linkKind == kLinkNet) {
        transport_ = transports_.openTcp(link.netIP, tcpPortFor(link.netPort), kConnectWaitMs);
    } else {
        transport_ = transports_.openSerial(link.comPortName, link.comBaudRate, trace_);
    }
    return transport_ != nullptr && transport_->connected();
}

void DeviceProbe::close() {
    if (transport_) {
        transport_->close();
        transport_.reset();
    }
}

bool DeviceProbe::exchange(const std::vector<std::uint8_t>& request, FrameCollector& collector) {
    if (!transport_ || !transport_->connected()) {
        return false;
    }
    trace_.setEdtTX(hexTrace(request));
    transport_->discardInput();
    transport_->write(request);
    std::array<std::uint8_t, kScratchSize> scratch{};
    const std::int64_t giveUpAt = clock_.nowMs() + replyWaitMs_;
    for (;;) {
        const std::int64_t wait = giveUpAt - clock_.nowMs();
        if (wait <= 0) {
            return false;
        }
        const std::size_t got = transport_->readWaiting(scratch, wait);
        if (got == 0 && !transport_->connected()) {
            return false;
        }
        for (std::size_t i = 0; i < got; ++i) {
            const CollectResult result = collector.feed(scratch[i]);
            if (result != CollectResult::Continue) {
                return result == CollectResult::Accepted;
            }
        }
    }
}

std::optional<ProbeAnswer> DeviceProbe::probe(std::uint16_t id) {
    if (auto answer = probeBinary(id)) {
        return answer;
    }
    return probeText(id);
}

std::optional<ProbeAnswer> DeviceProbe::probeBinary(std::uint16_t id) {
    const auto pin = pinFieldFor(options_.pinText);
    ReplyFrame reply;
    BinaryCollector identify(reply);
    if (!exchange(buildBinaryRequest(id, kIdentify, {}, pin), identify) ||
        reply.codeWord != kIdentify) {
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

    reply.clearForExchange();
    BinaryCollector names(reply);
    if (exchange(buildBinaryRequest(id, kNameAndVersions, {}, pin), names) &&
        reply.codeWord == kNameAndVersions && reply.payloadLength == 16) {
        answer.name = textAt(reply, 0, 12);
        answer.version = hex4(wordAt(reply, 12));
        answer.isp = hex4(wordAt(reply, 14));
    }
    return answer;
}

std::optional<ProbeAnswer> DeviceProbe::probeText(std::uint16_t id) {
    ReplyFrame reply;
    TextCollector collector(reply);
    if (!exchange(buildTextRequest(addressPrefix(id) + "AS1"), collector) ||
        reply.payloadLength != 28 || reply.address != id) {
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
