#include <gtest/gtest.h>

#include "firmware/model_family.h"
#include "link/crc.h"
#include "link/link_channel.h"
#include "link/virtual_clock.h"
#include "sim_test_util.h"
#include "sim_transport.h"

namespace flashmere {
namespace {

using namespace simtest;

struct Bench {
    explicit Bench(SimConfig config, std::uint8_t kind = kLinkNet)
        : device(std::move(config)), factory(device, clock), link(factory, clock, trace) {
        link.linkKind = kind;
    }
    SimDevice device;
    VirtualClock clock;
    SimTransportFactory factory;
    NullTraceSink trace;
    LinkChannel link;
};

SimConfig baseConfig(std::uint16_t model) {
    SimConfig c;
    c.model = model;
    c.id = 1;
    c.latencyMs = 3;
    c.rebootMs = 10000;
    return c;
}

TEST(SimSession, BinaryAndTextExchangesThroughTheToolsLink) {
    Bench b(baseConfig(0x8401));
    ASSERT_TRUE(b.link.openLink());
    const std::int64_t t0 = b.clock.nowMs();
    ASSERT_TRUE(exchangeBinaryFrame(b.link, 1, 0x0001));
    EXPECT_EQ(b.link.reply.payloadLength, 8);
    EXPECT_EQ(b.link.reply.payload[0] << 8 | b.link.reply.payload[1], 0x8401);
    // 5 ms send pause of the TCP link; the reply was due 3 ms after the request.
    EXPECT_EQ(b.clock.nowMs() - t0, 5);
    ASSERT_TRUE(exchangeTextCommand(b.link, "01Zx73"));
    EXPECT_EQ(std::string(b.link.reply.textCode.data(), 2), "Zx");
    b.link.closeLink();
    EXPECT_EQ(b.factory.opens(), 1);
    EXPECT_EQ(b.factory.closes(), 1);
    EXPECT_EQ(b.factory.openNow(), 0);

    Bench text(baseConfig(0x8801), kLinkCom);
    ASSERT_TRUE(text.link.openLink());
    ASSERT_TRUE(exchangeTextCommand(text.link, "01AS1"));
    EXPECT_EQ(text.link.reply.payloadLength, 28);
    EXPECT_EQ(text.link.reply.address, 1);
    EXPECT_FALSE(exchangeBinaryFrame(text.link, 1, 0x0001)) << "a text device stays silent";
    EXPECT_EQ(text.factory.serialOpens(), 1);
}

TEST(SimSession, SilenceCostsTheHostItsSilenceLimitInVirtualTime) {
    Bench b(baseConfig(0x8401));
    ASSERT_TRUE(b.link.openLink());
    const std::int64_t t0 = b.clock.nowMs();
    EXPECT_FALSE(exchangeBinaryFrame(b.link, 9, 0x0001));  // another address
    EXPECT_EQ(b.clock.nowMs() - t0, 5 + kSilenceLimitMs + 1);
}

TEST(SimSession, UpgradeOfAn8401ProgramsVerifiesAndStarts) {
    Bench b(baseConfig(0x8401));
    ASSERT_TRUE(b.link.openLink());
    for (int i = 0; i < 2; ++i) {
        exchangeBinaryFrame(b.link, 1, 0x6038, kEnterLoader);
    }
    std::vector<std::vector<std::uint8_t>> image;
    for (std::uint32_t page = 0; page < 9; ++page) {
        image.push_back(pattern(256, static_cast<std::uint8_t>(page * 11)));
        if (erasesBefore(*modelFamilyFor(0x8401).programming, static_cast<int>(page))) {
            ASSERT_TRUE(exchangeBinaryFrame(b.link, 1, 0x603B, pageHead(page * 256))) << page;
        }
        ASSERT_TRUE(
            exchangeBinaryFrame(b.link, 1, 0x6039, withData(pageHead(page * 256), image[page])))
            << page;
    }
    for (std::uint32_t page = 0; page < 9; ++page) {
        ASSERT_TRUE(exchangeBinaryFrame(b.link, 1, 0x603A, pageHead(page * 256)));
        ASSERT_EQ(b.link.reply.payloadLength, 264);
        EXPECT_TRUE(
            std::equal(image[page].begin(), image[page].end(), b.link.reply.payload.begin() + 8))
            << page;
    }
    ASSERT_TRUE(exchangeBinaryFrame(b.link, 1, 0x6038, kStartProgram));
    EXPECT_EQ(b.device.runCount(), 1);
    EXPECT_FALSE(exchangeBinaryFrame(b.link, 1, 0x0001)) << "rebooting";
    b.clock.sleepMs(10000);
    EXPECT_TRUE(exchangeBinaryFrame(b.link, 1, 0x0001));
    b.link.closeLink();
    EXPECT_EQ(b.factory.openNow(), 0);
}

TEST(SimSession, TheLinkRecoversFromNoiseSplitsStaleBytesAndDropsWithRetries) {
    SimConfig c = baseConfig(0x8401);
    c.seed = 7;
    c.faults.dropProbability = 0.2;
    c.faults.splitGapMs = std::pair<std::int64_t, std::int64_t>{0, 40};
    c.faults.noiseBytes = 3;
    c.faults.staleBytes = 6;
    Bench b(c);
    ASSERT_TRUE(b.link.openLink());
    int answered = 0;
    int attempts = 0;
    for (int i = 0; i < 30; ++i) {
        // The tool's own habit: a pause before every request.
        b.clock.sleepMs(20);
        for (int attempt = 0; attempt < 5; ++attempt) {
            ++attempts;
            if (exchangeBinaryFrame(b.link, 1, 0x0003)) {
                ++answered;
                EXPECT_EQ(b.link.reply.payloadLength, 16);
                break;
            }
        }
    }
    EXPECT_EQ(answered, 30);
    EXPECT_GT(attempts, 30) << "some replies were dropped";
    EXPECT_GT(countEvents(b.device, SimEventType::Flush), 0u) << "stale bytes were flushed";
}

TEST(SimSession, FactoryOptionsForMissingPortsAndDeadPeers) {
    Bench serial(baseConfig(0x8401), kLinkCom);
    serial.factory.serialOpenFails = true;
    serial.link.settings.comPortName = "/dev/ttyNOPE";
    EXPECT_FALSE(serial.link.openLink());
    EXPECT_EQ(serial.factory.lastPortName(), "/dev/ttyNOPE");
    EXPECT_EQ(serial.factory.openNow(), 0);

    Bench net(baseConfig(0x8401));
    net.factory.tcpNeverConnects = true;
    net.link.settings.netPort = "5003";
    ASSERT_TRUE(net.link.openLink());
    EXPECT_EQ(net.clock.nowMs(), kConnectWaitMs);
    EXPECT_EQ(net.factory.lastPort(), 5003);
    EXPECT_FALSE(exchangeBinaryFrame(net.link, 1, 0x0001));
    EXPECT_EQ(net.clock.nowMs(), kConnectWaitMs) << "no connection: fails at once";
    net.link.closeLink();
    EXPECT_EQ(net.factory.closes(), 1);
    EXPECT_EQ(countEvents(net.device, SimEventType::Request), 0u);
}

TEST(SimSession, ADisconnectEndsTheExchangeWithoutWaitingForSilence) {
    SimConfig c = baseConfig(0x8401);
    c.faults.disconnectAfterFrames = 2;
    Bench b(c);
    ASSERT_TRUE(b.link.openLink());
    EXPECT_TRUE(exchangeBinaryFrame(b.link, 1, 0x0001));
    EXPECT_TRUE(exchangeBinaryFrame(b.link, 1, 0x0001)) << "the second reply leaves before the cut";
    const std::int64_t t0 = b.clock.nowMs();
    EXPECT_FALSE(exchangeBinaryFrame(b.link, 1, 0x0001));
    EXPECT_LT(b.clock.nowMs() - t0, kSilenceLimitMs);
    EXPECT_EQ(countEvents(b.device, SimEventType::LinkClosed), 1u);
}

TEST(SimSession, SerialLineTimingIsAccountedOnTheVirtualClock) {
    SimConfig c = baseConfig(0x8401);
    c.latencyMs = 0;
    c.line = parseLineMode("9600,n,8,1");  // 960 bytes per second
    Bench b(c, kLinkCom);
    ASSERT_TRUE(b.link.openLink());
    const std::int64_t t0 = b.clock.nowMs();
    ASSERT_TRUE(exchangeBinaryFrame(b.link, 1, 0x603A, pageHead(0)));
    // 19 request bytes and a 275-byte reply: about 306 ms on the line.
    const std::int64_t took = b.clock.nowMs() - t0;
    EXPECT_GE(took, 305);
    EXPECT_LE(took, 308);
}

TEST(SimSession, AFullSizeTextImageProgramsVerifiesAndPassesTheStartCheck) {
    SimConfig c = baseConfig(0x8801);
    c.id = 5;
    Bench b(c, kLinkCom);
    ASSERT_TRUE(b.link.openLink());
    ASSERT_TRUE(exchangeTextCommand(b.link, "0005AS"));
    const std::uint32_t pages = b.device.layout().pageLimit;
    ASSERT_EQ(pages, 3968u);
    std::uint32_t sum = 0;
    auto pageData = [](std::uint32_t page) {
        return pattern(256, static_cast<std::uint8_t>(page));
    };
    char head[32];
    for (std::uint32_t page = 0; page < pages; ++page) {
        std::snprintf(head, sizeof head, "0005YP%08X", page * 256);
        std::string cmd = head;
        for (const auto byte : pageData(page)) {
            cmd += hexByte(byte);
            sum += byte;
        }
        ASSERT_TRUE(exchangeTextCommand(b.link, cmd)) << page;
    }
    for (std::uint32_t page = 0; page < pages; page += 97) {
        std::snprintf(head, sizeof head, "0005YV%08X", page * 256);
        ASSERT_TRUE(exchangeTextCommand(b.link, head));
        std::string expected;
        for (const auto byte : pageData(page)) {
            expected += hexByte(byte);
        }
        EXPECT_EQ(std::string(b.link.reply.payload.begin() + 8, b.link.reply.payload.begin() + 520),
                  expected);
    }
    std::snprintf(head, sizeof head, "0005YRC4E19D70%08X%08X", pages * 256, sum);
    ASSERT_TRUE(exchangeTextCommand(b.link, head));
    ASSERT_TRUE(b.device.lastRunCheck());
    EXPECT_TRUE(b.device.lastRunCheck()->matched);
    EXPECT_EQ(b.device.memory().size(), 1015808u);
}

TEST(SimSession, ARealClockIsSleptOnUntilTheReplyIsDue) {
    SimConfig c = baseConfig(0x8401);
    c.latencyMs = 40;
    SimDevice device(c);
    SimTransportFactory factory(device, systemClock());
    NullTraceSink trace;
    LinkChannel link(factory, systemClock(), trace);
    link.linkKind = kLinkNet;
    ASSERT_TRUE(link.openLink());
    const std::int64_t t0 = systemClock().nowMs();
    ASSERT_TRUE(exchangeBinaryFrame(link, 1, 0x0001));
    const std::int64_t took = systemClock().nowMs() - t0;
    EXPECT_GE(took, 40);
    EXPECT_LT(took, 1000);
}

}  // namespace
}  // namespace flashmere
