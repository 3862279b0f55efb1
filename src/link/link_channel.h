#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "link/reply_frame.h"
#include "link/transport.h"

namespace flashmere {

enum LinkKind : std::uint8_t { kLinkCom = 0, kLinkNet = 1 };

// The link settings as the settings store holds them: all text.
struct LinkSettings {
    std::string comPortName = "COM1";
    std::string comBaudRate = "19200,e,8,1";
    std::string netIP = "192.168.1.101";
    std::string netPort = "5003";
};

constexpr std::int64_t kSilenceLimitMs = 1000;
constexpr std::int64_t kConnectWaitMs = 5000;
constexpr std::uint16_t kFallbackTcpPort = 4001;

// How a request and its reply ended.
enum class ExchangeEnd : std::uint8_t {
    Answered,     // a complete frame with a valid (or unflagged) check value
    NoLink,       // no connected link: nothing was sent
    WriteFailed,  // the request could not be written
    Silent,       // not a byte within the silence limit
    Noise,        // bytes came, none of them the start of a reply frame
    Damaged,      // a complete frame whose check value is wrong
    Cut,          // a frame began, then the silence limit passed
    Overrun,      // bytes were still coming when the exchange's deadline passed
    LinkLost,     // the system reported the link lost during the wait
};

// How an exchange ended, for logs: empty for a reply, else e.g. "no reply
// within 1000 ms".
std::string describeEnd(ExchangeEnd end, std::int64_t silenceLimitMs);

// The TCP port of a netPort text: a decimal number from 0 to 65535, or 4001.
std::uint16_t tcpPortFor(std::string_view netPort);
// A netPort text that is a TCP port a device can listen on: decimal digits
// only, 1 to 65535; empty for anything else.
std::optional<std::uint16_t> parseTcpPort(std::string_view netPort);
// Why the TCP settings cannot be used (no host, a port that is no TCP port),
// naming the value as given; empty when they can.
std::string netSettingsProblem(const LinkSettings& settings);

// The one link between the tool and a device, opened at the start of a device
// operation and closed at its end. Not thread-safe: a device operation owns it
// on its worker thread.
class LinkChannel {
  public:
    LinkChannel(TransportFactory& factory, Clock& clock, TraceSink& trace);
    ~LinkChannel();
    LinkChannel(const LinkChannel&) = delete;
    LinkChannel& operator=(const LinkChannel&) = delete;

    // 1 = NET (TCP); any other value is a serial port.
    std::uint8_t linkKind = kLinkCom;
    LinkSettings settings;
    // The PIN box text, read by every binary request (see pinFieldFor).
    std::string pinText = "9174";
    // The last reply of either protocol.
    ReplyFrame reply;
    // How long an exchange waits without a byte before it fails; a scan of
    // many IDs waits less than an upgrade.
    std::int64_t silenceLimitMs = kSilenceLimitMs;

    // Closes, then opens by linkKind. A serial port that cannot be opened,
    // or TCP settings without a host or with a port that is no TCP port,
    // give false with nothing left open (never a guessed port); otherwise a
    // TCP link gives true, and a connection that did not come up within
    // 5000 ms fails every exchange.
    bool openLink();
    void closeLink();
    // Why the last openLink left no usable link (the serial port did not
    // open, the TCP connection did not come up), as the transport factory
    // told it; empty when it did not fail or the factory could not tell.
    const std::string& openFailure() const { return openFailure_; }
    bool isOpen() const { return transport_ != nullptr; }
    // Open and, for TCP, connected right now.
    bool connected() const { return transport_ && transport_->connected(); }
    // True once the system reported the link, connected at its opening,
    // closed, reset or gone (a TCP disconnect, a serial port error or
    // hang-up). A device that falls silent keeps the link, and closeLink is
    // no loss. A lost link fails every exchange at once.
    bool lost() const;
    // What the system said about the loss, e.g. "connection closed by the
    // device"; meaningful only while lost().
    std::string lossNote() const;
    bool isNet() const { return linkKind == kLinkNet; }

    // One request and its reply: discards stale input, sends, then hands
    // every received byte to the collector until it reports a complete frame
    // or more than silenceLimitMs pass without a byte. Fails at once, sending
    // nothing, when no connected link exists, and at once when the request
    // could not be written. Whatever comes, the exchange ends by
    // replyDeadlineMs() after the request left: bytes that keep coming (a
    // chattering line) restart the silence count but never that deadline.
    bool transact(std::span<const std::uint8_t> request, FrameCollector& collector);

    // The longest an exchange waits after its request left: the silence
    // limit plus twice that for the reply to come in, or on a slow serial
    // line the time a full reply buffer takes at its speed, if longer.
    std::int64_t replyDeadlineMs() const;

    // Sends a frame that gets no reply.
    void sendRaw(std::span<const std::uint8_t> frame);

    // How the last exchange ended, and, when a write failed, what the system
    // said ("the request could not be written: ...").
    ExchangeEnd lastEnd() const { return lastEnd_; }
    const std::string& writeFailure() const { return writeFailure_; }
    // Exchanges since construction that got a complete, valid frame, and
    // those that ended with bytes that formed none (noise or overrun).
    std::uint64_t framesAccepted() const { return framesAccepted_; }
    std::uint64_t noisyExchanges() const { return noisyExchanges_; }

    Clock& clock() { return clock_; }
    TraceSink& trace() { return trace_; }

    // Totals since construction: what was sent, and whether anything came
    // back (which tells a silent device from a broken request).
    std::uint64_t bytesSent() const { return bytesSent_; }
    std::uint64_t bytesReceived() const { return bytesReceived_; }

  private:
    TransportFactory& factory_;
    Clock& clock_;
    TraceSink& trace_;
    std::unique_ptr<Transport> transport_;
    bool connectedAtOpen_ = false;
    std::string openFailure_;
    std::uint64_t bytesSent_ = 0;
    std::uint64_t bytesReceived_ = 0;
    std::uint64_t framesAccepted_ = 0;
    std::uint64_t noisyExchanges_ = 0;
    ExchangeEnd lastEnd_ = ExchangeEnd::NoLink;
    std::string writeFailure_;
    std::vector<std::uint8_t> received_;  // this exchange's bytes, for the wire trace

    bool send(std::span<const std::uint8_t> frame);
    bool finish(ExchangeEnd end);
    ExchangeEnd endOfWait(const FrameCollector& collector, bool bytesCame,
                          std::int64_t deadline) const;
};

// A binary request to a device address; true for a complete reply whose CRC
// is right or not asked for. The reply is in link.reply. Shows the request
// in the sent trace and, over TCP, the reply payload in the received trace.
bool exchangeBinaryFrame(LinkChannel& link, std::uint16_t address, std::uint16_t command,
                         std::span<const std::uint8_t> payload = {});

// A text command; true for a complete reply with the right CRC.
bool exchangeTextCommand(LinkChannel& link, std::string_view commandText);

// The three wake-up frames; they get no reply and always report success.
bool sendTabFrame(LinkChannel& link, std::string_view text);
bool sendAAFrame(LinkChannel& link, std::span<const std::uint8_t> data);
bool sendFixedBlock(LinkChannel& link);

}  // namespace flashmere
