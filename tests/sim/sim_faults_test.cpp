#include <gtest/gtest.h>

#include "firmware/model_family.h"
#include "sim_test_util.h"

namespace flashmere {
namespace {

using namespace simtest;

SimConfig loaderConfig() {
    SimConfig c;
    c.model = 0x8401;
    c.id = 1;
    c.latencyMs = 3;
    c.rebootMs = 500;
    return c;
}

struct SessionResult {
    std::string transcript;
    std::vector<SimOutput> outputs;
};

// A fixed host script, one request every 100 ms: mode command, then erase and
// program of pages 0..7 (every program sent twice), reads of pages 0..7, start.
SessionResult runSession(SimDevice& d) {
    SessionResult result;
    std::int64_t t = 0;
    auto send = [&](const std::vector<std::uint8_t>& frame) {
        d.receive(frame, t);
        t += 100;
        for (auto& o : d.takeDue(t - 1)) {
            result.outputs.push_back(std::move(o));
        }
    };
    send(binaryRequest(1, 0x6038, kEnterLoader));
    for (std::uint32_t page = 0; page < 8; ++page) {
        if (erasesBefore(*modelFamilyFor(0x8401).programming, static_cast<int>(page))) {
            send(binaryRequest(1, 0x603B, pageHead(page * 256)));
        }
        const auto frame =
            binaryRequest(1, 0x6039, withData(pageHead(page * 256), pattern(256, 1)));
        send(frame);
        send(frame);
    }
    for (std::uint32_t page = 0; page < 8; ++page) {
        send(binaryRequest(1, 0x603A, pageHead(page * 256)));
    }
    send(binaryRequest(1, 0x6038, kStartProgram));
    for (auto& o : d.takeDue(kForever)) {
        result.outputs.push_back(std::move(o));
    }
    result.transcript = transcriptJson(d);
    return result;
}

struct FaultCase {
    const char* name;
    void (*apply)(SimFaults&);
    bool random;  // another seed gives another transcript
};

const FaultCase kFaultCases[] = {
    {"drop", [](SimFaults& f) { f.dropProbability = 0.4; }, true},
    {"corrupt", [](SimFaults& f) { f.corruptProbability = 0.5; }, true},
    {"split",
     [](SimFaults& f) {
         f.splitGapMs = std::pair<std::int64_t, std::int64_t>{1, 30};
     },
     true},
    {"noise", [](SimFaults& f) { f.noiseBytes = 6; }, true},
    {"stale", [](SimFaults& f) { f.staleBytes = 5; }, false},
    {"silent_first", [](SimFaults& f) { f.silentFirstAttempts = 1; }, false},
    {"disconnect", [](SimFaults& f) { f.disconnectAfterFrames = 4; }, false},
    {"corrupt_page", [](SimFaults& f) { f.rules.push_back(*parseFaultRule("corrupt-page:5")); },
     true},
    {"scripted",
     [](SimFaults& f) {
         for (const char* r : {"program:7:fail=1", "read:3:never", "erase:0:fail=1",
                               "cmd:0x603A:delay=40", "silent-after-pages:12"}) {
             f.rules.push_back(*parseFaultRule(r));
         }
     },
     false},
};

TEST(SimFaults, EveryFaultKindIsReproducibleBySeed) {
    for (const auto& fc : kFaultCases) {
        SimConfig c = loaderConfig();
        fc.apply(c.faults);
        c.seed = 42;
        SimDevice a(c);
        SimDevice b(c);
        const auto ra = runSession(a);
        const auto rb = runSession(b);
        EXPECT_EQ(ra.transcript, rb.transcript) << fc.name;
        ASSERT_EQ(ra.outputs.size(), rb.outputs.size()) << fc.name;
        for (std::size_t i = 0; i < ra.outputs.size(); ++i) {
            EXPECT_EQ(ra.outputs[i].atMs, rb.outputs[i].atMs) << fc.name;
            EXPECT_EQ(ra.outputs[i].bytes, rb.outputs[i].bytes) << fc.name;
        }
        EXPECT_TRUE(std::equal(a.memory().begin(), a.memory().end(), b.memory().begin()))
            << fc.name;
        if (fc.random) {
            c.seed = 43;
            SimDevice other(c);
            EXPECT_NE(runSession(other).transcript +
                          std::string(other.memory().begin(), other.memory().end()),
                      ra.transcript + std::string(a.memory().begin(), a.memory().end()))
                << fc.name;
        }
    }
}

TEST(SimFaults, DroppedRepliesStillTakeEffect) {
    SimConfig c = loaderConfig();
    c.faults.dropProbability = 1.0;
    c.loaderGate = false;
    SimDevice d(c);
    d.receive(binaryRequest(1, 0x603B, pageHead(0)), 0);
    d.receive(binaryRequest(1, 0x6039, withData(pageHead(0), pattern(256, 4))), 10);
    EXPECT_TRUE(drain(d).empty());
    EXPECT_EQ(d.readMemory(0, 256), pattern(256, 4));
    EXPECT_EQ(lastEvent(d, SimEventType::NoReply)->note, "dropped");
}

TEST(SimFaults, CorruptedRepliesFailTheHostCheck) {
    SimConfig c = loaderConfig();
    c.faults.corruptProbability = 1.0;
    SimDevice d(c);
    for (int i = 0; i < 20; ++i) {
        d.receive(binaryRequest(1, 0x0003), i * 10);
        const auto out = drain(d);
        ASSERT_EQ(out.size(), 27u);
        EXPECT_FALSE(decodeBinary(out)) << i;
    }
}

TEST(SimFaults, SplitRepliesArriveInPiecesWithGapsInRange) {
    SimConfig c = loaderConfig();
    c.latencyMs = 0;
    c.faults.splitGapMs = std::pair<std::int64_t, std::int64_t>{5, 9};
    SimDevice d(c);
    SimConfig plainConfig = loaderConfig();
    plainConfig.latencyMs = 0;
    SimDevice plain(plainConfig);
    for (int i = 0; i < 10; ++i) {
        const auto req = binaryRequest(1, 0x603A, pageHead(static_cast<std::uint32_t>(i) * 256));
        const std::int64_t t = i * 1000;
        d.receive(req, t);
        plain.receive(req, t);
        const auto outs = d.takeDue(kForever);
        ASSERT_GE(outs.size(), 2u);
        ASSERT_LE(outs.size(), 4u);
        std::vector<std::uint8_t> joined;
        for (std::size_t k = 0; k < outs.size(); ++k) {
            if (k > 0) {
                const auto gap = outs[k].atMs - outs[k - 1].atMs;
                EXPECT_GE(gap, 5);
                EXPECT_LE(gap, 9);
            }
            joined.insert(joined.end(), outs[k].bytes.begin(), outs[k].bytes.end());
        }
        EXPECT_EQ(joined, drain(plain));
    }
}

TEST(SimFaults, NoiseComesBeforeAndStaleBytesAfterTheReply) {
    SimConfig c = loaderConfig();
    c.latencyMs = 0;
    c.faults.noiseBytes = 40;
    c.faults.staleBytes = 5;
    SimDevice d(c);
    d.receive(binaryRequest(1, 0x0001), 0);
    const auto outs = d.takeDue(kForever);
    ASSERT_EQ(outs.size(), 2u);
    const auto& first = outs[0].bytes;
    ASSERT_EQ(first.size(), 40u + 19u);
    for (std::size_t i = 0; i < 40; ++i) {
        EXPECT_NE(first[i], 0x06);
        EXPECT_NE(first[i], 0x03);
    }
    EXPECT_TRUE(decodeBinary(first)) << "a sound collector skips the noise";
    EXPECT_EQ(outs[1].atMs, outs[0].atMs + 1) << "stale bytes come after the reply";
    EXPECT_EQ(outs[1].bytes, std::vector<std::uint8_t>(first.begin() + 40, first.begin() + 45));
}

TEST(SimFaults, SilentFirstAttemptsCountEachDistinctRequest) {
    SimConfig c = loaderConfig();
    c.faults.silentFirstAttempts = 2;
    SimDevice d(c);
    const auto a = binaryRequest(1, 0x0001);
    const auto b = binaryRequest(1, 0x0003);
    EXPECT_FALSE(askBinary(d, a, 0));
    EXPECT_FALSE(askBinary(d, b, 1));
    EXPECT_FALSE(askBinary(d, a, 2));
    EXPECT_TRUE(askBinary(d, a, 3));
    EXPECT_FALSE(askBinary(d, b, 4));
    EXPECT_TRUE(askBinary(d, b, 5));
}

TEST(SimFaults, DisconnectsOnceAfterNFrames) {
    SimConfig c = loaderConfig();
    c.faults.disconnectAfterFrames = 3;
    SimDevice d(c);
    int disconnects = 0;
    for (int i = 0; i < 6; ++i) {
        d.receive(binaryRequest(1, 0x0001), i * 10);
        for (const auto& o : d.takeDue(kForever)) {
            if (o.disconnect) {
                ++disconnects;
                EXPECT_EQ(i, 2) << "after the third frame's reply";
            }
        }
    }
    EXPECT_EQ(disconnects, 1);
}

TEST(SimFaults, ScriptedRulesHitTheirPagesAndCounts) {
    SimConfig c = loaderConfig();
    c.loaderGate = false;
    for (const char* r :
         {"program:7:fail=3", "read:3:never", "erase:4:fail=1", "cmd:0x0003:delay=500"}) {
        c.faults.rules.push_back(*parseFaultRule(r));
    }
    SimDevice d(c);
    const auto page7 = binaryRequest(1, 0x6039, withData(pageHead(7 * 256), pattern(256, 2)));
    const auto before = d.readMemory(7 * 256, 256);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(askBinary(d, page7, i)) << i;
        EXPECT_EQ(d.readMemory(7 * 256, 256), before) << "an unheard request has no effect";
    }
    EXPECT_TRUE(askBinary(d, page7, 10));
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(askBinary(d, binaryRequest(1, 0x603A, pageHead(3 * 256)), 20 + i));
    }
    EXPECT_TRUE(askBinary(d, binaryRequest(1, 0x603A, pageHead(2 * 256)), 30));
    // short=1: the first read of page 1 keeps only its head, the next is whole.
    c.faults.rules = {*parseFaultRule("read:1:short=1")};
    SimDevice cut(c);
    const auto read1 = binaryRequest(1, 0x603A, pageHead(256));
    EXPECT_EQ(askBinary(cut, read1, 0)->payloadLength, 8U);
    EXPECT_EQ(lastEvent(cut, SimEventType::Reply)->note, "short reply");
    EXPECT_EQ(askBinary(cut, read1, 10)->payloadLength, 8U + 256U);
    EXPECT_FALSE(askBinary(d, binaryRequest(1, 0x603B, pageHead(4 * 256)), 40));
    EXPECT_TRUE(askBinary(d, binaryRequest(1, 0x603B, pageHead(4 * 256)), 41));
    d.receive(binaryRequest(1, 0x0003), 100);
    const auto outs = d.takeDue(kForever);
    ASSERT_FALSE(outs.empty());
    EXPECT_EQ(outs.front().atMs, 100 + 3 + 500);
}

TEST(SimFaults, CorruptPageFlipsOneBitOfThatPageOnly) {
    SimConfig c = loaderConfig();
    c.loaderGate = false;
    c.faults.rules.push_back(*parseFaultRule("corrupt-page:5"));
    SimDevice d(c);
    for (std::uint32_t page = 4; page < 7; ++page) {
        ASSERT_TRUE(askBinary(d, binaryRequest(1, 0x603B, pageHead(4 * 256)), 0) || page != 4);
        const auto data = pattern(256, static_cast<std::uint8_t>(page));
        ASSERT_TRUE(askBinary(d, binaryRequest(1, 0x6039, withData(pageHead(page * 256), data))));
        const auto mem = d.readMemory(page * 256, 256);
        int bits = 0;
        for (int i = 0; i < 256; ++i) {
            bits += __builtin_popcount(static_cast<unsigned>(mem[i] ^ data[i]));
        }
        EXPECT_EQ(bits, page == 5 ? 1 : 0) << page;
    }
}

TEST(SimFaults, SilentAfterPagesAndRebootAtPage) {
    SimConfig c = loaderConfig();
    c.loaderGate = false;
    c.faults.rules.push_back(*parseFaultRule("silent-after-pages:2"));
    SimDevice dead(c);
    for (std::uint32_t page = 0; page < 2; ++page) {
        EXPECT_TRUE(askBinary(
            dead, binaryRequest(1, 0x6039, withData(pageHead(page * 256), pattern(256, 0)))));
    }
    EXPECT_FALSE(askBinary(dead, binaryRequest(1, 0x0001), 1000000));

    SimConfig r = loaderConfig();
    r.rebootMs = 700;
    r.faults.rules.push_back(*parseFaultRule("reboot-at-page:1"));
    SimDevice rebooting(r);
    ASSERT_TRUE(askBinary(rebooting, binaryRequest(1, 0x6038, kEnterLoader), 0));
    const auto page1 = binaryRequest(1, 0x6039, withData(pageHead(256), pattern(256, 0)));
    EXPECT_FALSE(askBinary(rebooting, page1, 10));
    EXPECT_FALSE(askBinary(rebooting, binaryRequest(1, 0x0001), 500)) << "silent while it restarts";
    EXPECT_TRUE(askBinary(rebooting, binaryRequest(1, 0x0001), 710));
    EXPECT_FALSE(askBinary(rebooting, page1, 720)) << "back in its program: no loader mode";
}

TEST(SimFaults, RuleSyntaxIsCheckedWithAMessage) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"program:7:fail=3", true},      {"read:3:never", true},
        {"erase:0:fail=1", true},        {"cmd:0x0003:delay=100", true},
        {"text:AS1:corrupt=2", true},    {"corrupt-page:5", true},
        {"silent-after-pages:10", true}, {"reboot-at-page:3", true},
        {"read:1:short=2", true},        {"program:x:fail=1", false},
        {"program:1:explode=1", false},  {"program:1", false},
        {"cmd:0x10000:never", false},    {"melt:1:never", false},
        {"program:1:fail=-1", false},    {"", false},
    };
    for (const auto& tc : cases) {
        std::string error;
        EXPECT_EQ(parseFaultRule(tc.text, &error).has_value(), tc.ok) << tc.text;
        EXPECT_EQ(error.empty(), tc.ok) << tc.text;
    }
}

}  // namespace
}  // namespace flashmere
