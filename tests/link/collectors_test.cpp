#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "frame_builders.h"
#include "link/binary_frame.h"
#include "link/crc.h"
#include "link/text_frame.h"

namespace flashmere {
namespace {

using namespace testing_frames;

struct FeedResult {
    CollectResult result = CollectResult::Continue;
    std::size_t consumed = 0;  // bytes fed up to and including the deciding one
};

// Feeds bytes until the collector decides, as the link does.
FeedResult feedAll(FrameCollector& collector, const Bytes& bytes) {
    FeedResult r;
    for (std::uint8_t b : bytes) {
        ++r.consumed;
        r.result = collector.feed(b);
        if (r.result != CollectResult::Continue) {
            break;
        }
    }
    return r;
}

class BinaryCollectorTest : public ::testing::Test {
  protected:
    void SetUp() override { frame = std::make_unique<ReplyFrame>(); }
    std::unique_ptr<ReplyFrame> frame;  // large: kept off the stack
};

TEST_F(BinaryCollectorTest, ReplySplitAtEveryOffsetAfterNoiseIsReassembled) {
    const Bytes reply = binaryReply(0x8801, 0x0003, {0x00, 0x07, 'A', 'B', 'C'});
    const Bytes wire = concat({{0x00, 0xFF, 0x15, 0x55}, reply});
    for (std::size_t split = 0; split < wire.size(); ++split) {
        frame->clearForExchange();
        BinaryCollector collector(*frame);
        const FeedResult first = feedAll(collector, Bytes(wire.begin(), wire.begin() + split));
        ASSERT_EQ(first.result, CollectResult::Continue) << split;
        const FeedResult rest = feedAll(collector, Bytes(wire.begin() + split, wire.end()));
        ASSERT_EQ(rest.result, CollectResult::Accepted) << split;
        EXPECT_EQ(frame->codeWord, 0x0003);
        EXPECT_EQ(frame->address, 7);
        EXPECT_EQ(frame->payloadLength, 3);
        EXPECT_EQ(std::string(frame->payload.begin(), frame->payload.begin() + 3), "ABC");
    }
}

TEST_F(BinaryCollectorTest, FirstOfTwoBackToBackRepliesWins) {
    const Bytes a = binaryReply(0x8801, 0x0001, {0x00, 0x01, 0x11});
    const Bytes b = binaryReply(0x8801, 0x0002, {0x00, 0x01, 0x22});
    BinaryCollector collector(*frame);
    const FeedResult r = feedAll(collector, concat({a, b}));
    EXPECT_EQ(r.result, CollectResult::Accepted);
    EXPECT_EQ(r.consumed, a.size());
    EXPECT_EQ(frame->codeWord, 0x0001);
    EXPECT_EQ(frame->payload[0], 0x11);
}

TEST_F(BinaryCollectorTest, BadCrcIsRejectedWithHeaderKeptAndPayloadZero) {
    const Bytes reply = binaryReply(0x8801, 0x0039, {0x00, 0x05, 1, 2, 3, 4}, false);
    frame->clearForExchange();
    BinaryCollector collector(*frame);
    EXPECT_EQ(feedAll(collector, reply).result, CollectResult::Rejected);
    EXPECT_EQ(frame->payloadLength, frame->lengthField - 8);
    EXPECT_EQ(frame->payloadLength, 4);
    EXPECT_EQ(frame->codeWord, 0x0039);
    EXPECT_EQ(frame->address, 5);
    EXPECT_EQ(frame->payload[0], 0);
}

TEST_F(BinaryCollectorTest, ReplyWithoutCrcFlagIgnoresItsLastTwoBytes) {
    const Bytes reply = binaryReply(0x8800, 0x0001, {0x00, 0x01, 0x42}, false);
    BinaryCollector collector(*frame);
    EXPECT_EQ(feedAll(collector, reply).result, CollectResult::Accepted);
    EXPECT_EQ(frame->payload[0], 0x42);
}

TEST_F(BinaryCollectorTest, AddressAndValueFieldsBothPrecedeThePayload) {
    // 0x0C: address and 32-bit value. The payload still counts L - 8 bytes,
    // so it runs into the CRC by four bytes: the layout the devices use.
    const Bytes reply =
        binaryReply(0x8C01, 0x0002, {0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x55, 0x66});
    BinaryCollector collector(*frame);
    ASSERT_EQ(feedAll(collector, reply).result, CollectResult::Accepted);
    EXPECT_EQ(frame->address, 0x1234);
    EXPECT_EQ(frame->value32, 0xDEADBEEFU);
    EXPECT_EQ(frame->payloadLength, frame->lengthField - 8);
    EXPECT_EQ(frame->payload[0], 0x55);
    EXPECT_EQ(frame->payload[1], 0x66);
    EXPECT_EQ(frame->payload[2], reply[reply.size() - 2]);  // the CRC follows
}

TEST_F(BinaryCollectorTest, ReplyLongerThanTheBufferNeverCompletes) {
    const Bytes reply = binaryReply(0x8801, 0x003A, Bytes(1600, 0x06));
    BinaryCollector collector(*frame);
    EXPECT_EQ(feedAll(collector, reply).result, CollectResult::Continue);
    EXPECT_LT(frame->fill, kFrameBufferSize);
}

TEST_F(BinaryCollectorTest, LengthBelowEightGivesNoPayload) {
    for (std::uint8_t length = 4; length < 8; ++length) {
        frame->clearForExchange();
        Bytes reply = {0x06, 0x00, length, 0x88, 0x00, 0x00, 0x01};
        reply.resize(length + 3U, 0xEE);
        BinaryCollector collector(*frame);
        ASSERT_EQ(feedAll(collector, reply).result, CollectResult::Accepted) << int{length};
        EXPECT_EQ(frame->payloadLength, 0);
        EXPECT_EQ(frame->payload[0], 0);
    }
}

class TextCollectorTest : public BinaryCollectorTest {};

TEST_F(TextCollectorTest, GoldenRepliesDecode) {
    struct Case {
        Bytes wire;
        std::uint16_t address;
    };
    const std::vector<Case> cases = {
        {{0x03, 0x30, 0x31, 0x41, 0x53, 0x04, 0x45, 0x43, 0x32, 0x33, 0x0D}, 1},
        {{0x03, 0x30, 0x30, 0x30, 0x31, 0x41, 0x53, 0x04, 0x33, 0x39, 0x35, 0x36, 0x0D}, 1},
    };
    for (const auto& c : cases) {
        frame->clearForExchange();
        TextCollector collector(*frame);
        ASSERT_EQ(feedAll(collector, c.wire).result, CollectResult::Accepted);
        EXPECT_EQ(frame->address, c.address);
        EXPECT_EQ(frame->textCode[0], 'A');
        EXPECT_EQ(frame->textCode[1], 'S');
        EXPECT_EQ(frame->payloadLength, 0);
    }
}

TEST_F(TextCollectorTest, PayloadAfterNoiseIsZeroTerminated) {
    const Bytes wire = concat({ascii("xx\r"), textReply("07RDv1.2\x03ok")});
    TextCollector collector(*frame);
    ASSERT_EQ(feedAll(collector, wire).result, CollectResult::Accepted);
    EXPECT_EQ(frame->address, 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame->payload.data())), "v1.2\x03ok");
    EXPECT_EQ(frame->payloadLength, 7);
}

TEST_F(TextCollectorTest, DamagedRepliesAreRejected) {
    Bytes lowerCase = textReply("01AS");  // CRC EC23
    for (std::size_t i = lowerCase.size() - 5; i + 1 < lowerCase.size(); ++i) {
        lowerCase[i] = static_cast<std::uint8_t>(std::tolower(lowerCase[i]));
    }
    ASSERT_NE(lowerCase, textReply("01AS")) << "the CRC needs a letter for this case";
    Bytes wrongCrc = textReply("01ASdata");
    wrongCrc[wrongCrc.size() - 2] ^= 0x01;
    const std::vector<Bytes> cases = {
        lowerCase, wrongCrc,
        concat({{kEtx}, ascii("01ASa\rb"), {kEot}, ascii("0000\r")}),  // CR inside the payload
        concat({{kEtx}, ascii("01AS\r")}),                             // no EOT at all
    };
    for (const auto& wire : cases) {
        frame->clearForExchange();
        TextCollector collector(*frame);
        EXPECT_EQ(feedAll(collector, wire).result, CollectResult::Rejected) << hexTrace(wire);
    }
}

TEST_F(TextCollectorTest, ReplyShorterThanItsFixedPartsHasNoPayload) {
    for (std::string_view body : {"", "0", "01", "012"}) {
        frame->clearForExchange();
        TextCollector collector(*frame);
        ASSERT_EQ(feedAll(collector, textReply(body)).result, CollectResult::Accepted) << body;
        EXPECT_EQ(frame->payloadLength, 0);
    }
}

TEST_F(TextCollectorTest, TwoDigitReplyWithDigitCodeReadsAsFourDigits) {
    TextCollector collector(*frame);
    ASSERT_EQ(feedAll(collector, textReply("015Xpayload")).result, CollectResult::Accepted);
    // "015X" + "pa": digits 0,1,5 and 'X' - '0' = 40.
    EXPECT_EQ(frame->address, 0 * 1000 + 1 * 100 + 5 * 10 + 40);
    EXPECT_EQ(frame->textCode[0], 'p');
    EXPECT_EQ(frame->payloadLength, 5);
}

TEST_F(TextCollectorTest, OverlongReplyStaysInsideTheBuffers) {
    TextCollector collector(*frame);
    const FeedResult r = feedAll(collector, textReply("01RD" + std::string(1700, 'z')));
    EXPECT_NE(r.result, CollectResult::Accepted);
    EXPECT_LT(frame->fill, kFrameBufferSize);
}

TEST_F(TextCollectorTest, LeftoverBytesPastAWrappedFillProveNothing) {
    // Found by the text-reply fuzzer: a reply longer than the buffer wraps
    // the fill position; a CR soon after a new ETX must not be checked
    // against an EOT and CRC left over from before the wrap.
    std::ifstream in(FLASHMERE_SOURCE_DIR
                     "/fuzz/corpus/fuzz_text_reply/regress-stale-check-after-wrap",
                     std::ios::binary);
    ASSERT_TRUE(in.good());
    const Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GT(input.size(), 2U);
    TextCollector collector(*frame);
    const FeedResult r =
        feedAll(collector, Bytes(input.begin() + 2, input.end()));  // past the flags
    EXPECT_NE(r.result, CollectResult::Accepted);
}

}  // namespace
}  // namespace flashmere
