#include <gtest/gtest.h>

#include "link/clock.h"
#include "link/link_channel.h"
#include "link/qt_transport_factory.h"
#include "tests/support/process_harness.h"

namespace flashmere::testing {
namespace {

struct Endpoint {
    const char* what;
    QStringList simOptions;
};

void PrintTo(const Endpoint& e, std::ostream* os) {
    *os << e.what;
}

class LinkAgainstDevsim : public ::testing::TestWithParam<Endpoint> {};

// Points the link at the simulator's pseudo-terminal or TCP endpoint.
void aimAt(LinkChannel& link, const QString& endpoint, bool pty) {
    if (pty) {
        link.linkKind = kLinkCom;
        link.settings.comPortName = endpoint.toStdString();
        link.settings.comBaudRate = "115200,n,8,1";
    } else {
        link.linkKind = kLinkNet;
        const QStringList hostPort = endpoint.split(':');
        link.settings.netIP = hostPort[0].toStdString();
        link.settings.netPort = hostPort[1].toStdString();
    }
}

// The link layer's own exchanges against the simulator process, over the
// same transports the tool uses.
TEST_P(LinkAgainstDevsim, BinaryAndTextExchangesGetTheirReplies) {
    QTemporaryDir dir;
    const Endpoint& e = GetParam();
    std::vector<std::pair<QStringList, std::uint16_t>> devices = {
        {{"--model", "8401", "--id", "3"}, 0x8401}, {{"--model", "8801", "--id", "3"}, 0x8801}};
    for (const auto& [options, model] : devices) {
        SimProcess sim(dir);
        ASSERT_TRUE(sim.start(e.simOptions + options));
        QtTransportFactory transports;
        NullTraceSink trace;
        LinkChannel link(transports, systemClock(), trace);
        aimAt(link, sim.endpoint(), e.simOptions.first() == "--pty");
        ASSERT_TRUE(link.openLink());
        if (model == 0x8401) {
            ASSERT_TRUE(exchangeBinaryFrame(link, 3, 0x0001));
            ASSERT_EQ(link.reply.payloadLength, 8);
            EXPECT_EQ(link.reply.payload[0], 0x84);
            EXPECT_EQ(link.reply.payload[1], 0x01);
            EXPECT_EQ(link.reply.address, 3);
            // Another device's address gets no reply: the silence limit ends it.
            EXPECT_FALSE(exchangeBinaryFrame(link, 4, 0x0002));
        } else {
            ASSERT_TRUE(exchangeTextCommand(link, "03AS1"));
            ASSERT_EQ(link.reply.payloadLength, 28);
            EXPECT_EQ(std::string(link.reply.payload.begin(), link.reply.payload.begin() + 4),
                      "8801");
            EXPECT_EQ(link.reply.address, 3);
            ASSERT_TRUE(exchangeTextCommand(link, "0003AS"));
            EXPECT_EQ(link.reply.payloadLength, 0);
        }
        link.closeLink();
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkAgainstDevsim,
                         ::testing::Values(Endpoint{"tcp", {"--tcp", "127.0.0.1:0"}},
                                           Endpoint{"pty", {"--pty"}}),
                         [](const auto& param) { return std::string(param.param.what); });

// The real-time smoke test of the exchange deadline: a pseudo-terminal where
// a stray byte comes every 300 ms (reply starts that never end) ends the
// exchange at its 3 s deadline through the serial transport's own waits.
// Whole runs on such a line, and their bound, are proved on the virtual
// clock (FaultMatrix.AChatteringLineEndsConnectDeviceErrorWithinItsBound).
TEST(LinkAgainstDevsimChatter, AChatteringLineEndsTheExchangeByItsDeadline) {
    QTemporaryDir dir;
    SimProcess sim(dir);
    ASSERT_TRUE(
        sim.start({"--pty", "--model", "8401", "--silent-first", "1000000", "--chatter", "300"}));
    QtTransportFactory transports;
    NullTraceSink trace;
    LinkChannel link(transports, systemClock(), trace);
    aimAt(link, sim.endpoint(), true);
    ASSERT_TRUE(link.openLink());
    const std::int64_t started = systemClock().nowMs();
    EXPECT_FALSE(exchangeBinaryFrame(link, 0, 0x0001));
    const std::int64_t elapsed = systemClock().nowMs() - started;
    EXPECT_EQ(link.lastEnd(), ExchangeEnd::Overrun);
    EXPECT_GE(elapsed, 3000);
    EXPECT_LE(elapsed, 3000 + 10 + 600);  // the send pause, scheduling
    EXPECT_GT(link.bytesReceived(), 0U);
    EXPECT_EQ(link.framesAccepted(), 0U);
}

}  // namespace
}  // namespace flashmere::testing
