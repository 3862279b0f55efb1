#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device/model_tables.h"
#include "link/crc.h"
#include "sim_layout.h"
#include "sim_test_util.h"

namespace flashmere {
namespace {

using namespace simtest;

SimConfig configFor(std::uint16_t model, std::uint16_t id = 1) {
    SimConfig c;
    c.model = model;
    c.id = id;
    c.latencyMs = 0;
    return c;
}

// ---- frames -------------------------------------------------------------------

TEST(SimFrames, AnswersTheDocumentedIdentifyFrameByteForByte) {
    SimConfig c = configFor(0x8401);
    c.serialNumber = 0xA1B2C3D4;
    SimDevice device(c);
    device.receive(
        std::vector<std::uint8_t>{0x05, 0x00, 0x08, 0x88, 0x01, 0x00, 0x01, 0x00, 0x01, 0xBA, 0x07},
        0);
    const auto out = drain(device);
    std::vector<std::uint8_t> expected{0x06, 0x00, 0x10, 0x88, 0x01, 0x00, 0x01, 0x00, 0x01,
                                       0x84, 0x01, 0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x01};
    const std::uint16_t crc = crc16Kermit(std::span(expected).subspan(1));
    expected.push_back(static_cast<std::uint8_t>(crc >> 8));
    expected.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    EXPECT_EQ(out, expected);
}

TEST(SimFrames, AnswersTheDocumentedTextConnectFrame) {
    SimDevice device(configFor(0x8801));
    // "01AS" exactly as the tool sends it; the reply with address 01 and no
    // payload is 03 30 31 41 53 04 45 43 32 33 0D.
    device.receive(
        std::vector<std::uint8_t>{0x01, 0x30, 0x31, 0x41, 0x53, 0x02, 0x30, 0x43, 0x41, 0x32, 0x0D},
        0);
    EXPECT_EQ(drain(device), (std::vector<std::uint8_t>{0x03, 0x30, 0x31, 0x41, 0x53, 0x04, 0x45,
                                                        0x43, 0x32, 0x33, 0x0D}));
}

TEST(SimFrames, TextPageAddressesNearTheTopOfTheAddressSpaceAreRefused) {
    // Found by fuzzing: the page-end check wrapped in 32 bits, so these read
    // and wrote far outside the memory.
    SimDevice device(configFor(0x8801));
    device.receive(buildTextRequest("01YVFFFFFF00"), 0);
    device.receive(buildTextRequest("01YPFFFFFF00" + std::string(512, 'A')), 0);
    int silent = 0;
    for (const SimEvent& e : device.transcript()) {
        EXPECT_NE(e.type, SimEventType::Reply) << e.note;
        silent += e.type == SimEventType::NoReply;
    }
    EXPECT_EQ(silent, 2);
}

struct SplitCase {
    const char* name;
    std::uint16_t model;
    std::vector<std::uint8_t> frame;
    bool text;
};

std::vector<SplitCase> splitCases() {
    return {
        {"identify", 0x8401, binaryRequest(1, 0x0001), false},
        {"program_page_with_start_bytes_inside", 0x8401,
         binaryRequest(1, 0x6039, withData(pageHead(0x0200), pattern(256, 0x05))), false},
        {"read_with_pin", 0x8401, binaryRequest(1, 0x603A, pageHead(0), 0x1234), false},
        {"text_identity", 0x8801, buildTextRequest("01AS1"), true},
        {"text_read", 0x8801, buildTextRequest("0001YV00000100"), true},
    };
}

// Noise before the frame holds every start byte, a lone binary start with a
// plausible length, and a text start that never finishes.
const std::vector<std::uint8_t> kNoise{0x00, 0xFF, 0x05, 0x00, 0x20, 0x88, 0x01,
                                       0x41, 0x09, 0x41, 0xAA, 0x01, 0x02, 0x06};

TEST(SimFrames, ReassemblesEveryRequestSplitAtEveryOffsetAfterNoise) {
    for (const auto& tc : splitCases()) {
        std::vector<std::uint8_t> wire = kNoise;
        wire.insert(wire.end(), tc.frame.begin(), tc.frame.end());
        for (std::size_t cut = 1; cut < wire.size(); ++cut) {
            SimConfig c = configFor(tc.model);
            c.loaderGate = false;
            SimDevice device(c);
            device.receive(std::span(wire).first(cut), 0);
            device.receive(std::span(wire).subspan(cut), 1);
            ASSERT_EQ(countEvents(device, SimEventType::Request), 1u)
                << tc.name << " cut " << cut << "\n"
                << transcriptJson(device);
            const auto out = drain(device);
            const bool ok = tc.text ? decodeText(out).has_value() : decodeBinary(out).has_value();
            ASSERT_TRUE(ok) << tc.name << " cut " << cut;
            ASSERT_EQ(countEvents(device, SimEventType::Reply), 1u) << tc.name << " cut " << cut;
        }
    }
}

TEST(SimFrames, ReassemblesAFrameFedByteByByteAndBackToBackFrames) {
    SimDevice device(configFor(0x8401));
    auto two = binaryRequest(1, 0x0001);
    const auto second = binaryRequest(1, 0x0003);
    two.insert(two.end(), second.begin(), second.end());
    for (std::size_t i = 0; i < two.size(); ++i) {
        device.receive(std::span(two).subspan(i, 1), static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(countEvents(device, SimEventType::Request), 2u);
    EXPECT_EQ(countEvents(device, SimEventType::Reply), 2u);
    EXPECT_EQ(countEvents(device, SimEventType::Noise), 0u);
}

TEST(SimFrames, RandomJunkNeverHidesTheNextValidFrame) {
    SimConfig c = configFor(0x8401);
    SimDevice device(c);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    const auto hello = binaryRequest(1, 0x0001);
    std::int64_t t = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> junk(next() % 3000);
        for (auto& b : junk) {
            // Start bytes are frequent so that half-frames are common.
            const auto r = next();
            b = (r & 3) == 0 ? std::uint8_t{0x05} : static_cast<std::uint8_t>(r >> 8);
        }
        for (std::size_t at = 0; at < junk.size();) {
            const std::size_t n = std::min<std::size_t>(1 + next() % 700, junk.size() - at);
            device.receive(std::span(junk).subspan(at, n), t++);
            at += n;
        }
        drain(device);
        device.receive(hello, t++);
        const auto out = drain(device);
        ASSERT_TRUE(decodeBinary(out)) << "round " << round;
    }
}

TEST(SimFrames, DropsFramesWithABadCheckAsNoiseAndNamesTheReason) {
    SimDevice device(configFor(0x8401));
    auto bad = binaryRequest(1, 0x0001);
    bad.back() ^= 0x01;
    auto badText = buildTextRequest("01Zx73");
    badText[badText.size() - 2] = 'a';  // lower-case CRC digit
    device.receive(bad, 0);
    device.receive(badText, 1);
    EXPECT_EQ(countEvents(device, SimEventType::Request), 0u);
    EXPECT_TRUE(drain(device).empty());
    const auto* noise = lastEvent(device, SimEventType::Noise);
    ASSERT_NE(noise, nullptr);
    EXPECT_NE(transcriptJson(device).find("binary frame with a bad CRC"), std::string::npos);
}

TEST(SimFrames, HearsSendOnlyFramesWithoutReplying) {
    SimDevice device(configFor(0x8401, 7));
    // TAB "A7F", the 0xAA frame of the 0171/0181 reset, the fixed block.
    device.receive(std::vector<std::uint8_t>{0x09, 'A', '7', 'F', '3', '9', 0x0D}, 0);
    device.receive(std::vector<std::uint8_t>{0xAA, 0x00, 0x09, 0x00, 0x00, 0x00, 0xB6, 0x03, 0x5E,
                                             0x71, 0x2C, 0x4A, 0xF5},
                   1);
    std::vector<std::uint8_t> fixed{0x05, 0x00, 0x12, 0x84, 0x01, 0x00, 0x38, 0x00, 0x00, 0x00,
                                    0x00, 0x6D, 0x2E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::uint16_t crc = crc16Kermit(std::span(fixed).subspan(1));
    fixed.push_back(static_cast<std::uint8_t>(crc >> 8));
    fixed.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    device.receive(fixed, 2);
    EXPECT_TRUE(drain(device).empty());
    std::vector<SimFrameKind> kinds;
    for (const auto& e : device.transcript()) {
        if (e.type == SimEventType::Request) {
            kinds.push_back(e.kind);
        }
    }
    EXPECT_EQ(kinds, (std::vector<SimFrameKind>{SimFrameKind::Tab, SimFrameKind::AA,
                                                SimFrameKind::Fixed}));
    EXPECT_EQ(device.transcript()[0].text, "A7F");
    EXPECT_TRUE(device.loaderMode()) << "the fixed block is the 6D 2E mode command";
}

// ---- identification -------------------------------------------------------------

TEST(SimIdentify, AnswersTheQueriesWithTheConfiguredIdentity) {
    SimConfig c = configFor(0x8501, 0x0102);
    c.reportModel = 0x8503;
    c.name = "READER-12345";
    c.version = 0x0207;
    c.isp = 0x0031;
    c.serialNumber = 0x00C0FFEE;
    SimDevice device(c);
    const auto id = askBinary(device, binaryRequest(0x0102, 0x0001));
    ASSERT_TRUE(id);
    EXPECT_EQ(payloadOf(*id),
              (std::vector<std::uint8_t>{0x85, 0x03, 0x00, 0xC0, 0xFF, 0xEE, 0x01, 0x02}));
    EXPECT_EQ(id->address, 0x0102);
    EXPECT_EQ(id->codeWord, 0x0001);
    const auto ver = askBinary(device, binaryRequest(0x0102, 0x0003));
    ASSERT_TRUE(ver);
    ASSERT_EQ(ver->payloadLength, 16);
    EXPECT_EQ(std::string(ver->payload.begin(), ver->payload.begin() + 12), "READER-12345");
    EXPECT_EQ(ver->payload[12] << 8 | ver->payload[13], 0x0207);
    EXPECT_EQ(ver->payload[14] << 8 | ver->payload[15], 0x0031);
    const auto idOnly = askBinary(device, binaryRequest(0x0102, 0x0002));
    ASSERT_TRUE(idOnly);
    EXPECT_EQ(payloadOf(*idOnly), (std::vector<std::uint8_t>{0x01, 0x02}));
    // 0x8501 is not of the groups 0x83/0x84: no version query.
    EXPECT_FALSE(askBinary(device, binaryRequest(0x0102, 0x6037)));
}

TEST(SimIdentify, GroupModelsAnswerTheVersionQueries) {
    for (const std::uint16_t cmd : std::initializer_list<std::uint16_t>{0x6037, 0x605F}) {
        SimConfig c = configFor(0x8402);
        c.version = 0x1234;
        c.isp = 0x00C1;
        SimDevice device(c);
        const auto r = askBinary(device, binaryRequest(1, cmd));
        ASSERT_TRUE(r);
        EXPECT_EQ(payloadOf(*r), (std::vector<std::uint8_t>{0x84, 0x02, 0x12, 0x34, 0x00, 0xC1}));
    }
}

TEST(SimIdentify, TextIdentityHas28CharactersAndMirrorsTheAddressWidth) {
    SimConfig c = configFor(0x8801, 7);
    c.serialNumber = 0x0A0B0C0D;
    c.name = "TEXTDEV";
    c.version = 0x0105;
    SimDevice device(c);
    const auto r = askText(device, "07AS1");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->payloadLength, 28);
    EXPECT_EQ(std::string(r->payload.begin(), r->payload.begin() + 12), "88010A0B0C0D");
    EXPECT_EQ(std::string(r->payload.begin() + 12, r->payload.begin() + 19), "TEXTDEV");
    EXPECT_EQ(r->payload[19], 0);
    EXPECT_EQ(std::string(r->payload.begin() + 24, r->payload.begin() + 28), "0105");
    EXPECT_EQ(r->address, 7);
    // A four-digit request gets a four-digit reply.
    device.receive(buildTextRequest("0007AS"), 0);
    const auto raw = drain(device);
    ASSERT_GE(raw.size(), 5u);
    EXPECT_EQ(std::string(raw.begin() + 1, raw.begin() + 7), "0007AS");
}

TEST(SimIdentify, PinRefusalAnswersIdentifyEmptyAndIgnoresTheRest) {
    SimConfig c = configFor(0x8401);
    c.pin = 0x4711;
    SimDevice device(c);
    struct Case {
        std::optional<std::uint16_t> pin;
        std::uint16_t command;
        std::optional<std::size_t> payload;  // nullopt: silence
    };
    const Case cases[] = {
        {std::nullopt, 0x0001, 0u},     {0x1111, 0x0001, 0u}, {std::nullopt, 0x0003, std::nullopt},
        {0x1111, 0x0003, std::nullopt}, {0x4711, 0x0001, 8u}, {0x4711, 0x0003, 16u},
    };
    for (const auto& tc : cases) {
        const auto r = askBinary(device, binaryRequest(1, tc.command, {}, tc.pin));
        ASSERT_EQ(r.has_value(), tc.payload.has_value()) << std::hex << tc.command;
        if (r) {
            EXPECT_EQ(r->payloadLength, *tc.payload) << std::hex << tc.command;
        }
    }
}

TEST(SimIdentify, FiltersByAddressWithDiscoveryAtAddressOne) {
    struct Case {
        bool discovery;
        std::uint16_t address;
        std::uint16_t command;
        bool answered;
    };
    const Case cases[] = {
        {true, 7, 0x0001, true},  {true, 3, 0x0001, false}, {true, 1, 0x0001, true},
        {true, 1, 0x0002, true},  {true, 1, 0x603A, false}, {false, 1, 0x0001, false},
        {false, 7, 0x603A, true},
    };
    for (const auto& tc : cases) {
        SimConfig c = configFor(0x8401, 7);
        c.discoveryQueries = tc.discovery;
        SimDevice device(c);
        const auto payload = tc.command == 0x603A ? pageHead(0) : std::vector<std::uint8_t>{};
        EXPECT_EQ(askBinary(device, binaryRequest(tc.address, tc.command, payload)).has_value(),
                  tc.answered)
            << tc.discovery << " " << tc.address << " " << std::hex << tc.command;
    }
    SimDevice text(configFor(0x8801, 7));
    EXPECT_TRUE(askText(text, "03AS1")) << "the identity query finds any address";
    EXPECT_FALSE(askText(text, "0003YV00000000"));
    EXPECT_TRUE(askText(text, "0007YV00000000"));
    EXPECT_FALSE(askBinary(text, binaryRequest(7, 0x0001))) << "a text device hears no binary";
}

// ---- memory ---------------------------------------------------------------------

TEST(SimLayout, FamiliesFollowTheProgrammingProfiles) {
    struct Case {
        std::uint16_t model;
        std::uint32_t page, base, eraseBlock;
        bool address16, replaces;
        std::uint32_t minSize;
    };
    const Case cases[] = {
        {0x8401, 256, 0, 1024, true, false, 128 * 256},
        {0x8400, 128, 0, 4096, false, false, 2048 * 128},
        {0x8402, 128, 0, 2048, false, false, 2048 * 128},
        {0x8303, 256, 0, 1024, true, false, 128 * 256},
        {0x8302, 128, 0, 2048, false, false, 2048 * 128},
        {0x8301, 128, 0, 4096, false, false, 2048 * 128},
        {0x0181, 256, 0, 2048, false, false, 1024 * 256},
        {0x8111, 256, 0, 4096, false, false, 496 * 256},
        {0x0132, 256, 0x3100, 512, true, false, 0x3100 + 223 * 256},
        {0x8425, 256, 0, 1024, true, false, 128 * 256},
        {0x8081, 256, 0, 0, false, true, 248 * 256},
        {0x8921, 256, 0, 0, false, true, 3840 * 256},
        {0x8501, 256, 0, 512, true, false, 512 * 256},
        {0x8801, 256, 0, 0, false, true, 3968 * 256},
        {0x8902, 256, 0, 0, false, true, 3840 * 256},
    };
    for (const auto& tc : cases) {
        const SimLayout l = simLayoutFor(tc.model);
        EXPECT_EQ(l.pageSize, tc.page) << std::hex << tc.model;
        EXPECT_EQ(l.base, tc.base) << std::hex << tc.model;
        EXPECT_EQ(l.eraseBlock, tc.eraseBlock) << std::hex << tc.model;
        EXPECT_EQ(l.address16, tc.address16) << std::hex << tc.model;
        EXPECT_EQ(l.writeReplaces, tc.replaces) << std::hex << tc.model;
        EXPECT_GE(l.memorySize, tc.minSize) << std::hex << tc.model;
    }
}

class SimFlash : public ::testing::Test {
  protected:
    SimDevice makeLoader(std::uint16_t model) {
        SimDevice d(configFor(model));
        const auto cmds = d.layout().commands;
        EXPECT_TRUE(askBinary(d, binaryRequest(1, cmds.mode, kEnterLoader)));
        return d;
    }
    static bool erase(SimDevice& d, std::uint32_t a) {
        return askBinary(d, binaryRequest(1, d.layout().commands.erase, pageHead(a))).has_value();
    }
    static bool program(SimDevice& d, std::uint32_t a, const std::vector<std::uint8_t>& data) {
        return askBinary(d,
                         binaryRequest(1, d.layout().commands.program, withData(pageHead(a), data)))
            .has_value();
    }
    static std::vector<std::uint8_t> read(SimDevice& d, std::uint32_t a) {
        const auto r = askBinary(d, binaryRequest(1, d.layout().commands.read, pageHead(a)));
        if (!r) {
            return {};
        }
        const auto p = payloadOf(*r);
        EXPECT_EQ(std::vector<std::uint8_t>(p.begin(), p.begin() + 8), pageHead(a));
        return {p.begin() + 8, p.end()};
    }
};

TEST_F(SimFlash, ProgrammingWithoutEraseOnlyClearsBits) {
    SimDevice d = makeLoader(0x8401);
    const auto old = d.readMemory(0x0100, 256);
    ASSERT_NE(old, std::vector<std::uint8_t>(256, 0xFF))
        << "the device starts with an old firmware";
    const auto data = pattern(256, 3);
    ASSERT_TRUE(program(d, 0x0100, data));
    std::vector<std::uint8_t> anded(256);
    for (int i = 0; i < 256; ++i) {
        anded[i] = old[i] & data[i];
    }
    EXPECT_EQ(read(d, 0x0100), anded);
    EXPECT_NE(read(d, 0x0100), data) << "a missing erase must show on verify";
}

TEST_F(SimFlash, EraseClearsItsWholeAlignedBlockOnly) {
    struct Case {
        std::uint16_t model;
        std::uint32_t eraseAt, expectFrom, expectTo;
    };
    const Case cases[] = {
        {0x8401, 0x0400, 0x0400, 0x0800},  // 4 pages of 256
        {0x8400, 0x1000, 0x1000, 0x2000},  // 32 pages of 128
        {0x8402, 0x0800, 0x0800, 0x1000},  // 16 pages of 128
        {0x0181, 0x0800, 0x0800, 0x1000},  // 8 pages of 256
        {0x8102, 0x1000, 0x1000, 0x2000},  // 16 pages of 256
        {0x8501, 0x0200, 0x0200, 0x0400},  // 2 pages of 256
        {0x0132, 0x3100, 0x3100, 0x3200},  // page 0 alone: the block starts below the program area
        {0x0132, 0x3200, 0x3200, 0x3400},
        {0x0132, 0x3300, 0x3200, 0x3400},  // a misaligned erase takes the whole block
    };
    for (const auto& tc : cases) {
        SimDevice d = makeLoader(tc.model);
        const auto before = std::vector<std::uint8_t>(d.memory().begin(), d.memory().end());
        ASSERT_TRUE(erase(d, tc.eraseAt)) << std::hex << tc.model;
        const auto mem = d.memory();
        for (std::uint32_t a = 0; a < mem.size(); ++a) {
            const bool inside = a >= tc.expectFrom && a < tc.expectTo;
            if (inside ? mem[a] != 0xFF : mem[a] != before[a]) {
                FAIL() << std::hex << "model " << tc.model << " erase " << tc.eraseAt
                       << " wrong at " << a;
            }
        }
    }
}

TEST_F(SimFlash, EraseThenProgramReadsBackExactlyIn128And256BytePages) {
    for (const std::uint16_t model : std::initializer_list<std::uint16_t>{0x8401, 0x8400, 0x8302}) {
        SimDevice d = makeLoader(model);
        const auto page = d.layout().pageSize;
        ASSERT_TRUE(erase(d, 0));
        const auto data = pattern(page, 9);
        ASSERT_TRUE(program(d, page, data));
        EXPECT_EQ(read(d, page), data) << std::hex << model;
        // A program request whose page has the wrong size is not heard.
        EXPECT_FALSE(program(d, 0, pattern(page == 128 ? 256 : 128, 1)));
    }
}

TEST_F(SimFlash, NoEraseModelsOverwriteAndHaveNoEraseCommand) {
    SimDevice d = makeLoader(0x8081);
    const auto data = pattern(256, 77);
    ASSERT_TRUE(program(d, 0x0300, data));
    EXPECT_EQ(read(d, 0x0300), data);
    ASSERT_TRUE(program(d, 0x0300, std::vector<std::uint8_t>(256, 0xFF)));
    EXPECT_EQ(read(d, 0x0300), std::vector<std::uint8_t>(256, 0xFF));
    EXPECT_FALSE(erase(d, 0));
}

TEST_F(SimFlash, SixteenBitLoadersRefuseWideAddressesButReadThem) {
    SimDevice d = makeLoader(0x8501);  // 512 pages: memory beyond 0xFFFF
    EXPECT_FALSE(erase(d, 0x010000));
    EXPECT_FALSE(program(d, 0x010000, pattern(256, 1)));
    EXPECT_EQ(read(d, 0x010000).size(), 256u) << "reads take the 24-bit form";
    // Head bytes 0-4 must be zero.
    auto head = pageHead(0);
    head[2] = 1;
    EXPECT_FALSE(askBinary(d, binaryRequest(1, 0x003A, head)));
}

TEST_F(SimFlash, LoaderGateHoldsEraseAndProgramUntilTheModeCommand) {
    SimDevice d(configFor(0x8401));
    EXPECT_FALSE(erase(d, 0));
    EXPECT_FALSE(program(d, 0, pattern(256, 1)));
    EXPECT_EQ(read(d, 0).size(), 256u) << "reads need no loader mode";
    EXPECT_NE(lastEvent(d, SimEventType::NoReply)->note.find("loader mode"), std::string::npos);
    // The mode command of another family is not this device's.
    EXPECT_FALSE(askBinary(d, binaryRequest(1, 0x605A, kEnterLoader)));
    ASSERT_TRUE(askBinary(d, binaryRequest(1, 0x6038, kEnterLoader)));
    EXPECT_TRUE(erase(d, 0));
    // And the erase code of another family is not heard either.
    EXPECT_FALSE(askBinary(d, binaryRequest(1, 0x003B, pageHead(0))));
}

TEST(SimText, ProgramsWholePagesAndReadsThemBackAsUpperCaseHex) {
    SimDevice d(configFor(0x8801));
    const auto data = pattern(256, 0xA0);
    std::string hex;
    for (auto b : data) {
        hex += hexByte(b);
    }
    ASSERT_TRUE(askText(d, "0001YP00000200" + hex));
    EXPECT_EQ(d.readMemory(0x200, 256), data) << "text loaders overwrite";
    const auto r = askText(d, "0001YV00000200");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->payloadLength, 520);
    EXPECT_EQ(std::string(r->payload.begin(), r->payload.begin() + 8), "00000200");
    EXPECT_EQ(std::string(r->payload.begin() + 8, r->payload.begin() + 520), hex);
    // Lower-case data, a short page or an address off the page grid are not heard.
    EXPECT_FALSE(askText(d, "0001YP00000200" + std::string(510, '0') + "ab"));
    EXPECT_FALSE(askText(d, "0001YP00000200" + hex.substr(2)));
    EXPECT_FALSE(askText(d, "0001YP00000201" + hex));
}

TEST(SimText, StartCommandChecksLengthAndSumThenReboots) {
    struct Case {
        const char* name;
        std::uint32_t length, sumDelta;
        bool matched;
    };
    const Case cases[] = {{"right", 512, 0, true},
                          {"wrong_sum", 512, 1, false},
                          {"longer_than_memory", 0x00FFFFFF, 0, false}};
    for (const auto& tc : cases) {
        SimConfig c = configFor(0x8901);
        c.initialMemory = InitialMemory::Erased;
        c.rebootMs = 1000;
        SimDevice d(c);
        std::string hex;
        for (auto b : pattern(256, 1)) {
            hex += hexByte(b);
        }
        ASSERT_TRUE(askText(d, "0001YP00000000" + hex));
        std::uint32_t sum = 0;
        for (auto b : d.readMemory(0, 512)) {
            sum += b;
        }
        char cmd[64];
        std::snprintf(cmd, sizeof cmd, "0001YRC4E19D70%08X%08X", tc.length, sum + tc.sumDelta);
        const auto r = askText(d, cmd, 10);
        ASSERT_TRUE(r) << tc.name;
        EXPECT_EQ(std::string(r->payload.begin(), r->payload.begin() + 2),
                  tc.matched ? "OK" : "ER");
        ASSERT_TRUE(d.lastRunCheck()) << tc.name;
        EXPECT_EQ(d.lastRunCheck()->matched, tc.matched) << tc.name;
        EXPECT_EQ(d.runCount(), 1);
        EXPECT_FALSE(askText(d, "0001AS", 500)) << tc.name << ": silent while it reboots";
        EXPECT_TRUE(askText(d, "0001AS", 1100)) << tc.name;
    }
    // Two erased pages: count 0x200, sum 0x1FE00, as the tool computes it.
    SimConfig c = configFor(0x8801);
    c.initialMemory = InitialMemory::Erased;
    SimDevice erased(c);
    ASSERT_TRUE(askText(erased, "0001YRC4E19D70000002000001FE00"));
    EXPECT_TRUE(erased.lastRunCheck()->matched);
}

TEST(SimReboot, StartCommandAnswersThenStaysSilentThenAnswersAsTheNewFirmware) {
    SimConfig c = configFor(0x8402);
    c.rebootMs = 10000;
    c.versionAfterRun = 0x0300;
    SimDevice d(c);
    ASSERT_TRUE(askBinary(d, binaryRequest(1, 0x605A, kEnterLoader), 0));
    ASSERT_TRUE(d.loaderMode());
    ASSERT_TRUE(askBinary(d, binaryRequest(1, 0x605A, kStartProgram), 100));
    EXPECT_EQ(d.runCount(), 1);
    EXPECT_FALSE(d.runFinished(5000));
    EXPECT_FALSE(askBinary(d, binaryRequest(1, 0x0001), 5000));
    EXPECT_EQ(lastEvent(d, SimEventType::NoReply)->note, "rebooting");
    EXPECT_TRUE(d.runFinished(10100));
    const auto v = askBinary(d, binaryRequest(1, 0x605F), 10100);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->payload[2] << 8 | v->payload[3], 0x0300);
    EXPECT_FALSE(d.loaderMode()) << "the new program runs";
}

TEST(SimReboot, AAFrameResetsThe0171FamilyOnly) {
    for (const std::uint16_t model : std::initializer_list<std::uint16_t>{0x0171, 0x8401}) {
        SimConfig c = configFor(model);
        c.resetMs = 2000;
        SimDevice d(c);
        d.receive(std::vector<std::uint8_t>{0xAA, 0x00, 0x09, 0x00, 0x00, 0x00, 0xB6, 0x03, 0x5E,
                                            0x71, 0x2C, 0x4A, 0xF5},
                  0);
        EXPECT_EQ(askBinary(d, binaryRequest(1, 0x0001), 1000).has_value(), model != 0x0171);
        EXPECT_TRUE(askBinary(d, binaryRequest(1, 0x0001), 2000));
    }
}

TEST(SimWire, LineModePacesBothDirections) {
    SimConfig c = configFor(0x8401);
    c.line = parseLineMode("19200,e,8,1");
    ASSERT_TRUE(c.line);
    EXPECT_DOUBLE_EQ(c.line->bitsPerChar(), 11.0);
    c.latencyMs = 2;
    SimDevice d(c);
    d.receive(binaryRequest(1, 0x0001), 0);  // 11 bytes: 6.3 ms on the line
    ASSERT_EQ(d.transcript().front().type, SimEventType::Request);
    EXPECT_EQ(d.transcript().front().atMs, 7);
    // 19 reply bytes from 9 ms on, 0.573 ms each: the last is due at 19.9 ms.
    std::vector<SimOutput> outs = d.takeDue(kForever);
    ASSERT_FALSE(outs.empty());
    EXPECT_EQ(outs.front().atMs, 10);
    EXPECT_EQ(outs.back().atMs, 20);
    std::size_t total = 0;
    for (const auto& o : outs) {
        total += o.bytes.size();
    }
    EXPECT_EQ(total, 19u);
    EXPECT_FALSE(parseLineMode("19200,x,8,1"));
    EXPECT_FALSE(parseLineMode("19200,e,9,1"));
    EXPECT_FALSE(parseLineMode("fast,e,8,1"));
    EXPECT_DOUBLE_EQ(parseLineMode("9600,n,8,2")->bitsPerChar(), 11.0);
}

TEST(SimConfigCheck, RejectsUnusableConfigurations) {
    SimConfig c;
    c.name = "THIRTEEN-CHAR";
    EXPECT_THROW(SimDevice{c}, std::invalid_argument);
    c.name = "CR\rINSIDE";
    EXPECT_TRUE(checkSimConfig(c));
    c.name = "OK";
    c.faults.dropProbability = 1.5;
    EXPECT_TRUE(checkSimConfig(c));
    c.faults.dropProbability = 0.5;
    c.faults.splitGapMs = std::pair<std::int64_t, std::int64_t>{10, 5};
    EXPECT_TRUE(checkSimConfig(c));
}

}  // namespace
}  // namespace flashmere
