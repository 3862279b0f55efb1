#include "link/link_channel.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/send_only_frames.h"
#include "link/serial_mode.h"
#include "link/text_frame.h"

namespace flashmere {
namespace {

constexpr std::size_t kReceiveScratchSize = 10240;
// Pauses after a request leaves, as the devices expect them.
constexpr std::int64_t kSerialSendPauseMs = 10;
constexpr std::int64_t kTcpSendPauseMs = 5;
// Bits a byte takes on a serial line with parity: start, 8 data, parity, stop.
constexpr std::int64_t kBitsPerByte = 11;
// The most of one exchange's input the wire trace shows.
constexpr std::size_t kTracedInput = 4096;

}  // namespace

std::string describeEnd(ExchangeEnd end, std::int64_t silenceLimitMs) {
    switch (end) {
        case ExchangeEnd::Answered:
            return {};
        case ExchangeEnd::NoLink:
            return "not sent: no link";
        case ExchangeEnd::WriteFailed:
            return "not sent: the write failed";
        case ExchangeEnd::Silent:
            return "no reply within " + std::to_string(silenceLimitMs) + " ms";
        case ExchangeEnd::Noise:
            return "noise, no reply frame";
        case ExchangeEnd::Damaged:
            return "a reply with a bad check value";
        case ExchangeEnd::Cut:
            return "a reply cut short by " + std::to_string(silenceLimitMs) + " ms of silence";
        case ExchangeEnd::Overrun:
            return "bytes still coming at the exchange's deadline";
        case ExchangeEnd::LinkLost:
            return "the link was lost";
    }
    return {};
}

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

std::int64_t LinkChannel::replyDeadlineMs() const {
    std::int64_t replyTime = 2 * silenceLimitMs;
    if (!isNet()) {
        const auto mode = parseSerialMode(settings.comBaudRate);
        if (mode && mode->baudRate && *mode->baudRate > 0) {
            const auto bufferTime = static_cast<std::int64_t>(kFrameBufferSize) * kBitsPerByte *
                                    1000 / static_cast<std::int64_t>(*mode->baudRate);
            replyTime = std::max(replyTime, bufferTime);
        }
    }
    return silenceLimitMs + replyTime;
}

bool LinkChannel::finish(ExchangeEnd end) {
    lastEnd_ = end;
    if (end != ExchangeEnd::NoLink && end != ExchangeEnd::WriteFailed) {
        trace_.wireReceived(received_, describeEnd(end, silenceLimitMs));
    }
    if (end == ExchangeEnd::Answered) {
        ++framesAccepted_;
    } else if (end == ExchangeEnd::Noise || end == ExchangeEnd::Overrun) {
        ++noisyExchanges_;
    }
    return end == ExchangeEnd::Answered;
}

ExchangeEnd LinkChannel::endOfWait(const FrameCollector& collector, bool bytesCame,
                                   std::int64_t deadline) const {
    if (!bytesCame) {
        return ExchangeEnd::Silent;
    }
    if (clock_.nowMs() >= deadline) {
        return ExchangeEnd::Overrun;
    }
    return collector.frameBegun() ? ExchangeEnd::Cut : ExchangeEnd::Noise;
}

bool LinkChannel::send(std::span<const std::uint8_t> frame) {
    if (!transport_->write(frame)) {
        const std::string why = transport_->writeFailure();
        writeFailure_ = "the request could not be written: " +
                        (why.empty() ? std::string("the link refused it") : why);
        return false;
    }
    bytesSent_ += frame.size();
    trace_.wireSent(frame);
    return true;
}

bool LinkChannel::transact(std::span<const std::uint8_t> request, FrameCollector& collector) {
    if (!transport_ || !transport_->connected()) {
        return finish(ExchangeEnd::NoLink);
    }
    transport_->discardInput();
    received_.clear();
    if (!send(request)) {
        return finish(ExchangeEnd::WriteFailed);
    }
    clock_.sleepMs(isNet() ? kTcpSendPauseMs : kSerialSendPauseMs);

    // Only the bytes a read wrote are looked at: no need to clear 10 KB per exchange.
    std::array<std::uint8_t, kReceiveScratchSize> scratch;
    std::int64_t lastReceived = clock_.nowMs();
    const std::int64_t deadline = lastReceived + replyDeadlineMs();
    bool bytesCame = false;
    for (;;) {
        // The exchange fails once more than the silence limit has passed
        // since the last byte; every received piece restarts the count, up
        // to the exchange's deadline, which nothing moves.
        const std::int64_t wait =
            std::min(lastReceived + silenceLimitMs + 1, deadline) - clock_.nowMs();
        if (wait <= 0) {
            return finish(endOfWait(collector, bytesCame, deadline));
        }
        const std::size_t got = transport_->readWaiting(scratch, wait);
        if (got == 0) {
            if (!transport_->connected()) {
                return finish(ExchangeEnd::LinkLost);  // the peer hung up: no reply can come
            }
            continue;
        }
        bytesReceived_ += got;
        bytesCame = true;
        const std::size_t kept =
            std::min(got, kTracedInput - std::min(kTracedInput, received_.size()));
        received_.insert(received_.end(), scratch.begin(),
                         scratch.begin() + static_cast<std::ptrdiff_t>(kept));
        lastReceived = clock_.nowMs();
        for (std::size_t i = 0; i < got; ++i) {
            const CollectResult result = collector.feed(scratch[i]);
            if (result != CollectResult::Continue) {
                return finish(result == CollectResult::Accepted ? ExchangeEnd::Answered
                                                                : ExchangeEnd::Damaged);
            }
        }
    }
}

void LinkChannel::sendRaw(std::span<const std::uint8_t> frame) {
    if (transport_ && transport_->connected()) {
        if (isNet()) {
            if (send(frame)) {
                clock_.sleepMs(kTcpSendPauseMs);
            }
        } else {
            transport_->discardInput();
            send(frame);
        }
    }
    reply.fill = 0;
}

bool exchangeBinaryFrame(LinkChannel& link, std::uint16_t address, std::uint16_t command,
                         std::span<const std::uint8_t> payload) {
    const auto request = buildBinaryRequest(address, command, payload, pinFieldFor(link.pinText));
    link.trace().setSentTrace(hexTrace(request));
    link.trace().setReceivedTrace("");
    link.reply.clearForExchange();
    BinaryCollector collector(link.reply);
    if (!link.transact(request, collector)) {
        return false;
    }
    if (link.isNet()) {
        const std::size_t shown = std::min<std::size_t>(link.reply.payloadLength, kFrameBufferSize);
        link.trace().setReceivedTrace(hexTrace(std::span(link.reply.payload).first(shown)));
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
