#include <gtest/gtest.h>

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
        if (e.simOptions.first() == "--pty") {
            link.linkKind = kLinkCom;
            link.settings.comPortName = sim.endpoint().toStdString();
            link.settings.comBaudRate = "115200,n,8,1";
        } else {
            link.linkKind = kLinkNet;
            const QStringList hostPort = sim.endpoint().split(':');
            link.settings.netIP = hostPort[0].toStdString();
            link.settings.netPort = hostPort[1].toStdString();
        }
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

}  // namespace
}  // namespace flashmere::testing
