#include "link/link_channel.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/send_only_frames.h"
#include "link/text_frame.h"

namespace flashmere {
namespace {

constexpr std::size_t kReceiveScratchSize = 10240;
// Pauses after a request leaves, as the devices expect them.
constexpr std::int64_t kSerialSendPauseMs = 10;
constexpr std::int64_t kTcpSendPauseMs = 5;

}  // namespace

std::uint16_t tcpPortFor(std::string_view netPort) {
    unsigned value = 0;
    const char* end = netPort.data() + netPort.size();
    const auto [ptr, ec] = std::from_chars(netPort.data(), end, value);
    if (netPort.empty() || ec != std::errc{} || ptr != end || value > 0xFFFF) {
        return kFallbackTcpPort;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint16_t> parseTcpPort(std::string_view netPort) {
    unsigned value = 0;
    const char* end = netPort.data() + netPort.size();
    const auto [ptr, ec] = std::from_chars(netPort.data(), end, value);
    if (netPort.empty() || netPort.front() == '+' || ec != std::errc{} || ptr != end ||
        value == 0 || value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::string netSettingsProblem(const LinkSettings& settings) {
    if (settings.netIP.find_first_not_of(" \t") == std::string::npos) {
        return "no host given: the device's IP address or host name is empty";
    }
    if (!parseTcpPort(settings.netPort)) {
        return "the TCP port \"" + settings.netPort + "\" is not a number from 1 to 65535";
    }
    return {};
}

LinkChannel::LinkChannel(TransportFactory& factory, Clock& clock, TraceSink& trace)
    : factory_(factory), clock_(clock), trace_(trace) {}

LinkChannel::~LinkChannel() {
    closeLink();
}

bool LinkChannel::openLink() {
    closeLink();
    openFailure_.clear();
    if (isNet()) {
        // Refused before any connection: a guessed port would reach another
        // service, and the reason would blame a port nobody gave.
        if (std::string problem = netSettingsProblem(settings); !problem.empty()) {
            openFailure_ = std::move(problem);
            return false;
        }
        transport_ = factory_.openTcp(settings.netIP, tcpPortFor(settings.netPort), kConnectWaitMs);
        connectedAtOpen_ = transport_ && transport_->connected();
        if (!connectedAtOpen_) {
            openFailure_ = factory_.lastOpenFailure();
        }
        return true;
    }
    transport_ = factory_.openSerial(settings.comPortName, settings.comBaudRate, trace_);
    connectedAtOpen_ = transport_ && transport_->connected();
    if (!transport_) {
        openFailure_ = factory_.lastOpenFailure();
    }
    return transport_ != nullptr;
}

void LinkChannel::closeLink() {
    if (transport_) {
        transport_->close();
        transport_.reset();
    }
    connectedAtOpen_ = false;
}

bool LinkChannel::lost() const {
    return transport_ && connectedAtOpen_ && !transport_->connected();
}

std::string LinkChannel::lossNote() const {
    std::string note = transport_ ? transport_->lossNote() : std::string();
    if (note.empty()) {
        note = isNet() ? "connection closed or reset" : "serial port error or hang-up";
    }
    return note;
}

bool LinkChannel::transact(std::span<const std::uint8_t> request, FrameCollector& collector) {
    if (!transport_ || !transport_->connected()) {
        return false;
    }
    transport_->discardInput();
    transport_->write(request);
    bytesSent_ += request.size();
    clock_.sleepMs(isNet() ? kTcpSendPauseMs : kSerialSendPauseMs);

    // Only the bytes a read wrote are looked at: no need to clear 10 KB per exchange.
    std::array<std::uint8_t, kReceiveScratchSize> scratch;
    std::int64_t lastReceived = clock_.nowMs();
    for (;;) {
        // The exchange fails once more than the silence limit has passed
        // since the last byte; every received piece restarts the count.
        const std::int64_t wait = lastReceived + silenceLimitMs + 1 - clock_.nowMs();
        if (wait <= 0) {
            return false;
        }
        const std::size_t got = transport_->readWaiting(scratch, wait);
        if (got == 0) {
            if (!transport_->connected()) {
                return false;  // the peer hung up: no reply can come
            }
            continue;
        }
        bytesReceived_ += got;
        lastReceived = clock_.nowMs();
        for (std::size_t i = 0; i < got; ++i) {
            const CollectResult result = collector.feed(scratch[i]);
            if (result != CollectResult::Continue) {
                return result == CollectResult::Accepted;
            }
        }
    }
}

void LinkChannel::sendRaw(std::span<const std::uint8_t> frame) {
    if (transport_ && transport_->connected()) {
        if (isNet()) {
            transport_->write(frame);
            clock_.sleepMs(kTcpSendPauseMs);
        } else {
            transport_->discardInput();
            transport_->write(frame);
        }
        bytesSent_ += frame.size();
    }
    reply.fill = 0;
}

bool exchangeBinaryFrame(LinkChannel& link, std::uint16_t address, std::uint16_t command,
                         std::span<const std::uint8_t> payload) {
    const auto request = buildBinaryRequest(address, command, payload, pinFieldFor(link.pinText));
    link.trace().setEdtTX(hexTrace(request));
    link.trace().setEdtRX("");
    link.reply.clearForExchange();
    BinaryCollector collector(link.reply);
    if (!link.transact(request, collector)) {
        return false;
    }
    if (link.isNet()) {
        const std::size_t shown = std::min<std::size_t>(link.reply.payloadLength, kFrameBufferSize);
        link.trace().setEdtRX(hexTrace(std::span(link.reply.payload).first(shown)));
    }
    return true;
}

bool exchangeTextCommand(LinkChannel& link, std::string_view commandText) {
    const auto request = buildTextRequest(commandText);
    link.reply.clearForExchange();
    TextCollector collector(link.reply);
    return link.transact(request, collector);
}

bool sendTabFrame(LinkChannel& link, std::string_view text) {
    const auto frame = buildTabFrame(text);
    link.reply.raw.fill(0);
    link.sendRaw(frame);
    return true;
}

bool sendAAFrame(LinkChannel& link, std::span<const std::uint8_t> data) {
    const auto frame = buildAAFrame(data);
    link.reply.raw.fill(0);
    link.sendRaw(frame);
    return true;
}

bool sendFixedBlock(LinkChannel& link) {
    link.sendRaw(kFixedBlock);
    return true;
}

}  // namespace flashmere
