#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frame_builders.h"
#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/link_channel.h"
#include "link/send_only_frames.h"
#include "link/text_frame.h"
#include "link/virtual_clock.h"
#include "tests/support/fake_transport.h"

namespace flashmere {
namespace {

using namespace testing_frames;

using testing::FakeTransport;
using testing::Piece;

class FakeFactory final : public TransportFactory {
  public:
    explicit FakeFactory(VirtualClock& clock) : clock_(clock) {}
    FakeTransport* last = nullptr;
    bool serialFails = false;
    bool tcpConnects = true;
    int closes = 0;

    std::unique_ptr<Transport> openSerial(const std::string&, const std::string&,
                                          TraceSink&) override {
        return serialFails ? nullptr : make(true);
    }
    std::unique_ptr<Transport> openTcp(const std::string&, std::uint16_t, std::int64_t) override {
        return make(tcpConnects);
    }

  private:
    std::unique_ptr<Transport> make(bool isConnected) {
        auto t = std::make_unique<FakeTransport>(clock_);
        t->isConnected = isConnected;
        t->closeCount = &closes;
        last = t.get();
        return t;
    }
    VirtualClock& clock_;
};

class RecordingTrace final : public TraceSink {
  public:
    std::string tx = "untouched";
    std::string rx = "untouched";
    std::vector<std::string> notes;
    void setSentTrace(const std::string& text) override { tx = text; }
    void setReceivedTrace(const std::string& text) override { rx = text; }
    void linkNote(const std::string& text) override { notes.push_back(text); }
};

// A reply from address 1 with a CRC.
Bytes binaryReply(std::uint16_t code, const Bytes& payload) {
    return testing_frames::binaryReply(0x8801, code, concat({{0x00, 0x01}, payload}));
}

// Splits bytes into pieces: piece i at startMs + i * gapMs.
std::vector<Piece> piecesOf(const Bytes& bytes, std::size_t pieceSize, std::int64_t startMs,
                            std::int64_t gapMs) {
    std::vector<Piece> out;
    for (std::size_t i = 0; i < bytes.size(); i += pieceSize) {
        const auto end = std::min(bytes.size(), i + pieceSize);
        out.push_back({startMs + static_cast<std::int64_t>(out.size()) * gapMs,
                       Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                             bytes.begin() + static_cast<std::ptrdiff_t>(end))});
    }
    return out;
}

class LinkChannelTest : public ::testing::Test {
  protected:
    // A COM link waits from 10 ms after the write.
    static constexpr std::int64_t kPause = 10;

    void openCom() {
        link->linkKind = kLinkCom;
        ASSERT_TRUE(link->openLink());
        fake = factory.last;
    }
    void openNet() {
        link->linkKind = kLinkNet;
        ASSERT_TRUE(link->openLink());
        fake = factory.last;
    }

    VirtualClock clock;
    FakeFactory factory{clock};
    RecordingTrace trace;
    std::unique_ptr<LinkChannel> link = std::make_unique<LinkChannel>(factory, clock, trace);
    FakeTransport* fake = nullptr;
};

TEST_F(LinkChannelTest, StaleInputIsDiscardedBeforeEachRequest) {
    openCom();
    // A complete, valid reply that arrived before the request must not count.
    fake->incoming.push_back({0, binaryReply(0x0099, {0xEE})});
    fake->replies.push_back({{5, binaryReply(0x0001, {0x11})}});
    fake->replies.push_back({{5, binaryReply(0x0002, {0x22})}});
    ASSERT_TRUE(exchangeBinaryFrame(*link, 1, 0x0001));
    EXPECT_EQ(link->reply.codeWord, 0x0001);
    // More stale bytes land between the two requests.
    fake->incoming.push_back({clock.nowMs(), binaryReply(0x0098, {0xEF})});
    ASSERT_TRUE(exchangeBinaryFrame(*link, 1, 0x0002));
    EXPECT_EQ(link->reply.codeWord, 0x0002);
    EXPECT_EQ(link->reply.payload[0], 0x22);
    EXPECT_EQ(fake->events, (std::vector<std::string>{"discard", "write", "discard", "write"}));
}

TEST_F(LinkChannelTest, SilenceOfUpTo1000MsBetweenPiecesIsAllowed) {
    struct Case {
        std::int64_t gap;
        bool ok;
    };
    for (const Case c : {Case{999, true}, Case{1000, true}, Case{1001, false}}) {
        openCom();
        // Two pieces: the whole reply still comes within the exchange's
        // deadline of three silence limits.
        const Bytes reply = binaryReply(0x0003, {1, 2, 3, 4});
        fake->replies.push_back(piecesOf(reply, 8, kPause + c.gap, c.gap));
        const std::int64_t start = clock.nowMs();
        EXPECT_EQ(exchangeBinaryFrame(*link, 1, 0x0003), c.ok) << c.gap;
        if (!c.ok) {
            // It gives up as soon as the limit is passed.
            EXPECT_EQ(clock.nowMs() - start, kPause + 1001) << c.gap;
            EXPECT_EQ(link->reply.payloadLength, 0);
        }
    }
}

TEST_F(LinkChannelTest, IgnoredNoiseRestartsTheSilenceCount) {
    openCom();
    const Bytes reply = binaryReply(0x0003, {9});
    fake->replies.push_back(
        {{kPause + 900, {0x00}}, {kPause + 1800, {0xFF, 0x15}}, {kPause + 2700, reply}});
    EXPECT_TRUE(exchangeBinaryFrame(*link, 1, 0x0003));
}

TEST_F(LinkChannelTest, NoReplyFailsAfterTheSilenceLimit) {
    openCom();
    EXPECT_FALSE(exchangeTextCommand(*link, "01AS"));
    EXPECT_EQ(clock.nowMs(), kPause + 1001);
    ASSERT_EQ(fake->written.size(), 1U);
    EXPECT_EQ(fake->written[0], buildTextRequest("01AS"));
    EXPECT_FALSE(link->lost()) << "a silent device keeps its link";
}

// A peer that sends a byte every 300 ms, whatever is asked: frame starts of
// both protocols that never complete, or junk that starts nothing. Either
// way the exchange ends by its deadline, not when the chatter stops.
TEST_F(LinkChannelTest, AChatteringLineEndsTheExchangeByItsDeadline) {
    for (const std::uint8_t first : {std::uint8_t{0x06}, std::uint8_t{0x55}}) {
        for (const auto kind : {kLinkCom, kLinkNet}) {
            kind == kLinkNet ? openNet() : openCom();
            const std::int64_t start = clock.nowMs();
            for (int i = 1; i <= 200; ++i) {
                fake->incoming.push_back(
                    {start + 300 * i, {i % 2 == 1 ? first : std::uint8_t{0x03}}});
            }
            EXPECT_EQ(link->replyDeadlineMs(), 3000);
            EXPECT_FALSE(exchangeBinaryFrame(*link, 1, 0x0001));
            const std::int64_t pause = kind == kLinkNet ? 5 : 10;
            EXPECT_EQ(clock.nowMs() - start, pause + 3000) << int{first} << "/" << int{kind};
            EXPECT_EQ(link->lastEnd(), ExchangeEnd::Overrun);
        }
    }
    EXPECT_EQ(link->framesAccepted(), 0U);
    // A slow serial line gets the time a full reply buffer takes at its speed.
    link->settings.comBaudRate = "1200,e,8,1";
    link->linkKind = kLinkCom;
    EXPECT_EQ(link->replyDeadlineMs(), 1000 + 1500 * 11 * 1000 / 1200);
}

// A write the transport refuses ends the exchange at once, with its words;
// nothing counts as sent.
TEST_F(LinkChannelTest, AFailedWriteFailsTheExchangeAtOnceWithTheLinksReason) {
    for (const auto kind : {kLinkCom, kLinkNet}) {
        kind == kLinkNet ? openNet() : openCom();
        fake->writeFails = true;
        fake->writeError = "Resource temporarily unavailable";
        fake->replies.push_back({{20, binaryReply(0x0003, {1})}});
        const std::int64_t start = clock.nowMs();
        EXPECT_FALSE(exchangeBinaryFrame(*link, 1, 0x0003));
        EXPECT_EQ(clock.nowMs(), start) << "no wait for a reply to a request never sent";
        EXPECT_EQ(link->lastEnd(), ExchangeEnd::WriteFailed);
        EXPECT_EQ(link->writeFailure(),
                  "the request could not be written: Resource temporarily unavailable");
        EXPECT_TRUE(sendFixedBlock(*link));
        EXPECT_EQ(link->bytesSent(), 0U);
    }
}

TEST_F(LinkChannelTest, HangUpEndsTheWaitAtOnce) {
    openCom();
    fake->replies.push_back({{kPause + 100, {0x06, 0x00}}});
    // The peer is gone after its first piece.
    struct HangUp final : FrameCollector {
        FakeTransport* t;
        BinaryCollector inner;
        HangUp(FakeTransport* transport, ReplyFrame& f) : t(transport), inner(f) {}
        CollectResult feed(std::uint8_t b) override {
            t->isConnected = false;
            return inner.feed(b);
        }
    } collector(fake, link->reply);
    const Bytes request = buildBinaryRequest(1, 3, {}, std::nullopt);
    EXPECT_FALSE(link->transact(request, collector));
    EXPECT_EQ(clock.nowMs(), kPause + 100);
    // The link is lost from now on, until the run closes it itself.
    EXPECT_TRUE(link->lost());
    EXPECT_EQ(link->lossNote(), "serial port error or hang-up");
    link->closeLink();
    EXPECT_FALSE(link->lost());
}

TEST_F(LinkChannelTest, NetWithoutConnectionFailsAtOnceWithNothingSent) {
    factory.tcpConnects = false;
    openNet();
    EXPECT_FALSE(exchangeBinaryFrame(*link, 2, 0x0003));
    EXPECT_FALSE(exchangeTextCommand(*link, "02AS"));
    EXPECT_TRUE(fake->written.empty());
    EXPECT_TRUE(fake->events.empty());
    EXPECT_EQ(clock.nowMs(), 0);
    EXPECT_FALSE(link->lost()) << "a link that never came up was never lost";
    EXPECT_EQ(trace.tx, "05 00 08 88 01 00 03 00 02 3D 24 ");
    // Send-only frames are dropped as well.
    link->reply.fill = 3;
    EXPECT_TRUE(sendTabFrame(*link, "A1F"));
    EXPECT_TRUE(fake->written.empty());
    EXPECT_EQ(link->reply.fill, 0U);
}

TEST_F(LinkChannelTest, TracesShowTheRequestAndOverNetThePayload) {
    for (const auto kind : {kLinkCom, kLinkNet}) {
        kind == kLinkNet ? openNet() : openCom();
        fake->replies.push_back({{20, binaryReply(0x0003, {0xAB, 0xCD})}});
        ASSERT_TRUE(exchangeBinaryFrame(*link, 2, 0x0003));
        EXPECT_EQ(trace.tx, "05 00 08 88 01 00 03 00 02 3D 24 ");
        EXPECT_EQ(trace.rx, kind == kLinkNet ? "AB CD " : "") << int{kind};
    }
}

TEST_F(LinkChannelTest, TextExchangeLeavesTheTracesAlone) {
    openCom();
    fake->replies.push_back(
        {{20, {0x03, 0x30, 0x31, 0x41, 0x53, 0x04, 0x45, 0x43, 0x32, 0x33, 0x0D}}});
    ASSERT_TRUE(exchangeTextCommand(*link, "01AS"));
    EXPECT_EQ(trace.tx, "untouched");
    EXPECT_EQ(trace.rx, "untouched");
    EXPECT_EQ(link->reply.address, 1);
}

TEST_F(LinkChannelTest, SendOnlyFramesGoOutAndResetTheFill) {
    openCom();
    link->reply.fill = 42;
    EXPECT_TRUE(sendAAFrame(*link, Bytes{1, 2, 3}));
    EXPECT_EQ(link->reply.fill, 0U);
    link->reply.fill = 7;
    EXPECT_TRUE(sendFixedBlock(*link));
    EXPECT_EQ(link->reply.fill, 0U);
    ASSERT_EQ(fake->written.size(), 2U);
    EXPECT_EQ(fake->written[0], (Bytes{0xAA, 0x00, 0x05, 0x00, 0x00, 0x01, 0x02, 0x03, 0x05}));
    EXPECT_EQ(fake->written[1], Bytes(kFixedBlock.begin(), kFixedBlock.end()));
    EXPECT_TRUE(clock.sleeps().empty());  // a serial send-only frame does not pause
}

TEST_F(LinkChannelTest, SerialPortThatCannotOpenLeavesNothingOpen) {
    openCom();
    factory.serialFails = true;
    EXPECT_FALSE(link->openLink());
    EXPECT_EQ(factory.closes, 1);  // the open began by closing the old link
    EXPECT_FALSE(link->isOpen());
    link->closeLink();
    EXPECT_EQ(factory.closes, 1);
    EXPECT_FALSE(exchangeBinaryFrame(*link, 1, 1));
}

// A port that is no TCP port, or no host, is refused before any connection:
// never a guessed port, and the reason names what was given.
TEST_F(LinkChannelTest, TcpSettingsThatCannotBeUsedAreRefusedBeforeConnecting) {
    link->linkKind = kLinkNet;
    const std::pair<const char*, const char*> bad[] = {
        {"99999", "\"99999\" is not a number from 1 to 65535"},
        {"abc", "\"abc\""},
        {"0", "\"0\""},
        {"", "\"\" is not"},
    };
    for (const auto& [port, said] : bad) {
        factory.last = nullptr;
        link->settings.netPort = port;
        EXPECT_FALSE(link->openLink()) << port;
        EXPECT_EQ(factory.last, nullptr) << "a connection was tried to " << port;
        EXPECT_NE(link->openFailure().find(said), std::string::npos) << link->openFailure();
    }
    link->settings.netPort = "5003";
    link->settings.netIP = " ";
    EXPECT_FALSE(link->openLink());
    EXPECT_EQ(factory.last, nullptr);
    EXPECT_NE(link->openFailure().find("no host given"), std::string::npos);
    EXPECT_EQ(parseTcpPort("65535"), std::optional<std::uint16_t>(65535));
    EXPECT_FALSE(parseTcpPort("+5").has_value());
}

TEST(TcpPortFor, DecimalTextOrTheFallback) {
    EXPECT_EQ(tcpPortFor("5003"), 5003);
    EXPECT_EQ(tcpPortFor("0"), 0);
    EXPECT_EQ(tcpPortFor("65535"), 65535);
    for (const char* bad : {"abc", "", "65536", "-1", " 5003", "5003 ", "50a3", "+5"}) {
        EXPECT_EQ(tcpPortFor(bad), kFallbackTcpPort) << '"' << bad << '"';
    }
}

}  // namespace
}  // namespace flashmere
