#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/send_only_frames.h"
#include "link/text_frame.h"

namespace flashmere {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ascii(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

TEST(Crc, CheckValuesOfTheStandardInput) {
    const Bytes digits = ascii("123456789");
    EXPECT_EQ(crc16Kermit(digits), 0x2189);
    EXPECT_EQ(crc16Arc(digits), 0xBB3D);
    EXPECT_EQ(crc16Kermit({}), 0);
    EXPECT_EQ(crc16Arc({}), 0);
}

TEST(Crc, HexTextIsUpperCaseAndEveryByteEndsWithASpace) {
    EXPECT_EQ(hexByte(0xAB), "AB");
    EXPECT_EQ(hexByte(0x05), "05");
    EXPECT_EQ(hexTrace(Bytes{0x05, 0x00, 0xFE}), "05 00 FE ");
    EXPECT_EQ(hexTrace({}), "");
}

struct BinaryRequestCase {
    std::uint16_t address;
    std::uint16_t command;
    Bytes expected;
};

TEST(BinaryRequest, GoldenFramesWithoutPin) {
    const std::vector<BinaryRequestCase> cases = {
        {2, 0x0003, {0x05, 0x00, 0x08, 0x88, 0x01, 0x00, 0x03, 0x00, 0x02, 0x3D, 0x24}},
        {1, 0x0001, {0x05, 0x00, 0x08, 0x88, 0x01, 0x00, 0x01, 0x00, 0x01, 0xBA, 0x07}},
        {1, 0x0002, {0x05, 0x00, 0x08, 0x88, 0x01, 0x00, 0x02, 0x00, 0x01, 0x55, 0x63}},
        {1, 0x0003, {0x05, 0x00, 0x08, 0x88, 0x01, 0x00, 0x03, 0x00, 0x01, 0x0F, 0xBF}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(buildBinaryRequest(c.address, c.command, {}, pinFieldFor("9174")), c.expected)
            << "command " << c.command;
    }
}

TEST(BinaryRequest, PinFieldRule) {
    struct Case {
        const char* text;
        std::optional<std::uint16_t> field;
    };
    const std::vector<Case> cases = {
        {"9174", std::nullopt},
        {"9175", 0x9175},
        {"917", 0x0917},
        {"91745", 0x1745},
        {"abcd", 0xABCD},
        {"FfFf", 0xFFFF},
        {"0", 0x0000},
        {"xyz", 0},
        {"", 0},
        {" 917", 0},
        {"-1", 0},
        {"9174 ", 0},
        {"0x12", 0},
        {"123456789", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pinFieldFor(c.text), c.field) << '"' << c.text << '"';
    }
}

TEST(BinaryRequest, PinChangesControlWordAndLength) {
    const Bytes payload = {0xAA, 0xBB, 0xCC};
    const Bytes frame = buildBinaryRequest(0x0102, 0x0039, payload, pinFieldFor("9175"));
    ASSERT_EQ(frame.size(), payload.size() + 13);
    const Bytes head = {0x05, 0x00, 0x0D, 0x8A, 0x01, 0x00, 0x39,
                        0x01, 0x02, 0x91, 0x75, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(Bytes(frame.begin(), frame.end() - 2), head);
    const std::uint16_t crc = crc16Kermit(std::span(frame).subspan(1, frame.size() - 3));
    EXPECT_EQ(frame[frame.size() - 2], crc >> 8);
    EXPECT_EQ(frame[frame.size() - 1], crc & 0xFF);

    const Bytes plain = buildBinaryRequest(0x0102, 0x0039, payload, pinFieldFor("9174"));
    ASSERT_EQ(plain.size(), payload.size() + 11);
    EXPECT_EQ(plain[2], payload.size() + 8);
    EXPECT_EQ(plain[3], 0x88);
}

TEST(BinaryRequest, OversizedPayloadIsCutToTheBuffer) {
    const Bytes big(3000, 0x5A);
    EXPECT_EQ(buildBinaryRequest(1, 0x39, big, std::nullopt).size(), kFrameBufferSize);
    EXPECT_EQ(buildBinaryRequest(1, 0x39, big, std::uint16_t{1}).size(), kFrameBufferSize);
}

TEST(TextRequest, GoldenFrameAndCut) {
    EXPECT_EQ(buildTextRequest("01AS"),
              (Bytes{0x01, 0x30, 0x31, 0x41, 0x53, 0x02, 0x30, 0x43, 0x41, 0x32, 0x0D}));
    EXPECT_EQ(buildTextRequest(std::string(4000, 'A')).size(), kFrameBufferSize);
}

TEST(SendOnlyFrames, Golden) {
    EXPECT_EQ(buildTabFrame("A1F"), (Bytes{0x09, 0x41, 0x31, 0x46, 0x33, 0x46, 0x0D}));
    EXPECT_EQ(buildAAFrame(Bytes{1, 2, 3}),
              (Bytes{0xAA, 0x00, 0x05, 0x00, 0x00, 0x01, 0x02, 0x03, 0x05}));
    const Bytes wake = buildAAFrame(Bytes{0x00, 0xB6, 0x03, 0x5E, 0x71, 0x2C, 0x4A});
    EXPECT_EQ(wake.size(), 13U);
    EXPECT_EQ(wake[2], 0x09);
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i + 1 < wake.size(); ++i) {
        sum ^= wake[i];
    }
    EXPECT_EQ(wake.back(), sum);
    EXPECT_EQ(buildAAFrame(Bytes(300, 1)).size(), 255U + 6);
}

TEST(SendOnlyFrames, FixedBlockCarriesItsKermitCrc) {
    const std::uint16_t crc = crc16Kermit(std::span(kFixedBlock).subspan(1, 18));
    EXPECT_EQ(kFixedBlock[0], 0x05);
    EXPECT_EQ(kFixedBlock[19], crc >> 8);
    EXPECT_EQ(kFixedBlock[20], crc & 0xFF);
    EXPECT_EQ(kFixedBlock[11], 0x6D);
    EXPECT_EQ(kFixedBlock[12], 0x2E);
}

}  // namespace
}  // namespace flashmere
