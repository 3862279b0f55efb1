#include "device/device_protocol.h"
#include "device/model_tables.h"
#include "tests/support/engine_fixture.h"
#include "upgrade/upgrade_stages.h"

namespace flashmere::testing {
namespace {

using R = SeenRequest;

// The sentence after the reason of a run that failed once the device's
// program was touched.
const std::string kNextStep = ". " + RecordingPanel{}.bootLoaderAdvice();

class UpgradeRunTest : public EngineTest {
  protected:
    std::vector<std::uint32_t> heads(std::uint16_t command) const {
        std::vector<std::uint32_t> out;
        for (const auto& r : device->binary(command)) {
            out.push_back(r.headAddress());
        }
        return out;
    }
    // Whether the device was told to start its program (run mode 5B E4).
    bool started() const {
        return std::any_of(device->requests.begin(), device->requests.end(), [](const R& r) {
            return r.kind == R::Binary && r.payload.size() == 8 && r.payload[0] == 0x5B &&
                   r.payload[1] == 0xE4;
        });
    }
    std::vector<std::uint8_t> headBytes(std::uint16_t command, std::size_t i) const {
        const auto rs = device->binary(command);
        return {rs.at(i).payload.begin(), rs.at(i).payload.begin() + 8};
    }
};

TEST_F(UpgradeRunTest, Model8401UpgradeShowsEveryStageAndEndsWithTheBarsFull) {
    useFirmware(0x8401, 5 * 256);
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    const std::vector<MessageRow> expected = {MessageRow::msgConnecting,  MessageRow::msgConnectOk,
                                              MessageRow::msgProgramming, MessageRow::msgProgramOk,
                                              MessageRow::msgVerifying,   MessageRow::msgVerifyOk,
                                              MessageRow::msgUpgrading,   MessageRow::msgUpgradeOk};
    EXPECT_EQ(panel.messages, expected);
    EXPECT_EQ(panel.lamp, LampColour::Yellow);
    EXPECT_FALSE(panel.busy);
    EXPECT_EQ(panel.programMax, 5);
    EXPECT_EQ(panel.programPos, 5);
    EXPECT_EQ(panel.verifyMax, 5);
    EXPECT_EQ(panel.verifyPos, 5);
    EXPECT_EQ(panel.tones,
              (std::vector<std::pair<int, int>>{{1000, 300}, {1000, 100}, {1000, 300}}));

    // Erase blocks of four pages in the 16-bit form, programs of 264 bytes,
    // reads in the 24-bit form, then the start request.
    EXPECT_EQ(heads(0x603B), (std::vector<std::uint32_t>{0x0000, 0x0400}));
    EXPECT_EQ(heads(0x6039), (std::vector<std::uint32_t>{0, 0x100, 0x200, 0x300, 0x400}));
    EXPECT_EQ(device->binary(0x6039)[4].payload.size(), 264U);
    EXPECT_EQ(headBytes(0x6039, 4), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0x04, 0x00}));
    EXPECT_EQ(heads(0x603A), (std::vector<std::uint32_t>{0, 0x100, 0x200, 0x300, 0x400}));
    const auto start = device->binary(0x6038).back();
    EXPECT_EQ(start.payload, (std::vector<std::uint8_t>{0x5B, 0xE4, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(panel.rebootShown, 0);
    // The page trace of 8401's profile shows the last page's 256 bytes.
    EXPECT_EQ(panel.pageTrace.size(), 768U);
    // Every page the device holds equals the image.
    for (int i = 0; i < 5; ++i) {
        const auto page = image.page(i, 256);
        EXPECT_EQ(device->memory.at(static_cast<std::uint32_t>(i * 256)),
                  std::vector<std::uint8_t>(page.begin(), page.end()));
    }
    expectLinkClosed();
}

TEST_F(UpgradeRunTest, ProgrammingPausesMatchTheProfileExactly) {
    // Row 1 on a serial line: 50 before hello, 50 after it; per erase 10 +
    // 50; per page 5; every request adds the 10 ms pause after sending.
    useFirmware(0x8401, 8 * 256);
    panel.options.verify = false;
    run();
    const auto hellos = device->binary(0x0001);
    const auto programs = device->binary(0x6039);
    const auto erases = device->binary(0x603B);
    ASSERT_EQ(programs.size(), 8U);
    ASSERT_EQ(erases.size(), 2U);
    // Profile hello -> first erase: 10 (send) + 50 + 10.
    const auto profileHello = std::find_if(hellos.rbegin(), hellos.rend(),
                                           [&](const R& r) { return r.atMs < erases[0].atMs; });
    EXPECT_EQ(erases[0].atMs - profileHello->atMs, 10 + 50 + 10);
    EXPECT_EQ(programs[0].atMs - erases[0].atMs, 10 + 50 + 5);
    EXPECT_EQ(programs[1].atMs - programs[0].atMs, 10 + 5);
    EXPECT_EQ(erases[1].atMs - programs[3].atMs, 10 + 10);
}

struct RowCase {
    std::uint16_t model;
    int pages;
    std::uint16_t erase, program, read;
    std::vector<std::uint32_t> eraseHeads;
    int pageSize;
    std::vector<std::uint8_t> programHead1;  // head of the program request of page 1
    std::vector<std::uint8_t> readHead1;     // head of the read request of page 1
};

class ProfileRowTest : public UpgradeRunTest, public ::testing::WithParamInterface<RowCase> {};

TEST_P(ProfileRowTest, SendsTheRowsCommandsHeadsAndEraseBlocks) {
    const RowCase& c = GetParam();
    useFirmware(c.model, c.pages * c.pageSize);
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    EXPECT_EQ(heads(c.erase), c.eraseHeads);
    ASSERT_EQ(device->binary(c.program).size(), static_cast<std::size_t>(c.pages));
    EXPECT_EQ(device->binary(c.program)[0].payload.size(),
              static_cast<std::size_t>(8 + c.pageSize));
    EXPECT_EQ(headBytes(c.program, 1), c.programHead1);
    ASSERT_EQ(device->binary(c.read).size(), static_cast<std::size_t>(c.pages));
    EXPECT_EQ(headBytes(c.read, 1), c.readHead1);
}

const std::vector<std::uint8_t> k16(std::uint16_t a) {
    return {0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
}
const std::vector<std::uint8_t> k24(std::uint32_t a) {
    return {0,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(a >> 16),
            static_cast<std::uint8_t>(a >> 8),
            static_cast<std::uint8_t>(a)};
}

INSTANTIATE_TEST_SUITE_P(
    AllRows, ProfileRowTest,
    ::testing::Values(
        RowCase{0x8401, 5, 0x603B, 0x6039, 0x603A, {0x0000, 0x0400}, 256, k16(0x100), k24(0x100)},
        RowCase{0x8400, 33, 0x003B, 0x0039, 0x003A, {0x0000, 0x1000}, 128, k24(0x80), k24(0x80)},
        RowCase{0x8402, 17, 0x605D, 0x605B, 0x605C, {0x0000, 0x0800}, 128, k24(0x80), k24(0x80)},
        RowCase{0x8303, 5, 0x603B, 0x6039, 0x603A, {0x0000, 0x0400}, 256, k16(0x100), k24(0x100)},
        RowCase{0x8302, 17, 0x605D, 0x605B, 0x605C, {0x0000, 0x0800}, 128, k24(0x80), k24(0x80)},
        RowCase{0x8301, 33, 0x003B, 0x0039, 0x003A, {0x0000, 0x1000}, 128, k24(0x80), k24(0x80)},
        RowCase{0x8461, 9, 0x003B, 0x0039, 0x003A, {0x0000, 0x0800}, 256, k24(0x100), k24(0x100)},
        RowCase{0x8101, 17, 0x003B, 0x0039, 0x003A, {0x0000, 0x1000}, 256, k24(0x100), k24(0x100)},
        RowCase{0x0132,
                4,
                0x003B,
                0x0039,
                0x003A,
                {0x3100, 0x3200, 0x3400},
                256,
                k16(0x3200),
                k16(0x3200)},
        RowCase{0x8411, 5, 0x003B, 0x0039, 0x003A, {0x0000, 0x0400}, 256, k16(0x100), k24(0x100)},
        RowCase{0x8081, 3, 0x003B, 0x0039, 0x003A, {}, 256, k24(0x100), k24(0x100)},
        RowCase{0x8201, 3, 0x003B, 0x0039, 0x003A, {0x0000, 0x0200}, 256, k16(0x100), k24(0x100)}));

TEST_F(UpgradeRunTest, ProgramFailuresCountThreeAttemptsAndSkipErrorDecides) {
    struct Case {
        bool skip;
        bool verify;
    };
    for (const Case c : {Case{false, true}, Case{true, true}, Case{true, false}}) {
        SCOPED_TRACE(std::string(c.skip ? "skip on" : "skip off") +
                     (c.verify ? ", verify on" : ", verify off"));
        panel = RecordingPanel{};
        useFirmware(0x8400, 4 * 128);
        panel.options.skipError = c.skip;
        panel.options.verify = c.verify;
        device->onBinary = [this](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
            if (r.command == 0x0039 && r.headAddress() == 2 * 128) {
                return std::nullopt;
            }
            return device->healthyBinary(r);
        };
        const MessageRow outcome = run();
        EXPECT_EQ(panel.counter(ErrorCounter::Program), 3);
        EXPECT_EQ(device->binary(0x0039).size(), c.skip ? 6U : 5U);
        if (c.skip) {
            // Programming goes on; then either verification finds page 2
            // missing, or, without it, the unwritten page ends the run.
            EXPECT_EQ(panel.programPos, 4);
            EXPECT_EQ(outcome, c.verify ? MessageRow::msgVerifyError : MessageRow::msgProgramError);
            EXPECT_EQ(panel.reason,
                      c.verify
                          ? "page 2 (0x0100) could not be read back; the device was not started" +
                                kNextStep
                          : "page 2 (0x0100) was never acknowledged; the device was not "
                            "started" +
                                kNextStep);
        } else {
            EXPECT_EQ(outcome, MessageRow::msgProgramError);
            EXPECT_EQ(panel.programPos, 1);
            EXPECT_TRUE(device->binary(0x003A).empty());
            EXPECT_EQ(panel.reason, "page 2 (0x0100) was never acknowledged" + kNextStep);
        }
        EXPECT_FALSE(started()) << "the device must not be started";
        EXPECT_EQ(panel.lamp, LampColour::Red);
        expectLinkClosed();
    }

    // A page the device wrote but whose acknowledgement was lost is fine
    // once it reads back equal.
    panel = RecordingPanel{};
    useFirmware(0x8400, 4 * 128);
    panel.options.skipError = true;
    device->onBinary = [this](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
        auto reply = device->healthyBinary(r);
        if (r.command == 0x0039 && r.headAddress() == 2 * 128) {
            return std::nullopt;
        }
        return reply;
    };
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    EXPECT_EQ(panel.counter(ErrorCounter::Program), 3);
}

TEST_F(UpgradeRunTest, EraseGetsOneRetryWhateverSkipErrorSays) {
    for (int failures : {1, 2}) {
        panel = RecordingPanel{};
        useFirmware(0x8401, 8 * 256);
        panel.options.skipError = true;
        device->onBinary = [this, failures](const R& r,
                                            int call) -> std::optional<std::vector<std::uint8_t>> {
            // Call 0 erases block 0; calls 1..failures are block 1's attempts.
            if (r.command == 0x603B && call >= 1 && call <= failures) {
                return std::nullopt;
            }
            return device->healthyBinary(r);
        };
        const MessageRow outcome = run();
        EXPECT_EQ(panel.counter(ErrorCounter::Erase), 1);
        if (failures == 1) {
            EXPECT_EQ(outcome, MessageRow::msgUpgradeOk);
            const auto erases = device->binary(0x603B);
            ASSERT_EQ(erases.size(), 3U);
            // send pause, silence limit, retry pause of 8401's profile
            EXPECT_EQ(erases[2].atMs - erases[1].atMs, 10 + 1001 + 200);
        } else {
            EXPECT_EQ(outcome, MessageRow::msgProgramError);
        }
    }
}

TEST_F(UpgradeRunTest, PatientReadsAnsweredOnlyAtTheTwentyFirstAttemptCountTwenty) {
    useFirmware(0x8401, 2 * 256);
    device->onBinary = [this](const R& r, int call) -> std::optional<std::vector<std::uint8_t>> {
        if (r.command == 0x603A && r.headAddress() == 0 && call < 20) {
            return std::nullopt;
        }
        return device->healthyBinary(r);
    };
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    EXPECT_EQ(panel.counter(ErrorCounter::Verify), 20);
    EXPECT_EQ(device->binary(0x603A).size(), 22U);
}

TEST_F(UpgradeRunTest, UnansweredReadsWithSkipErrorGoOnAndEndInVerifyError) {
    // Every row goes on through the pages and never compares a page it
    // could not read; the unread pages fail the run without a start.
    for (std::uint16_t model : {std::uint16_t{0x8401}, std::uint16_t{0x8400}}) {
        SCOPED_TRACE(model);
        panel = RecordingPanel{};
        useFirmware(model, 2 * (model == 0x8400 ? 128 : 256));
        panel.options.skipError = true;
        const std::uint16_t read = model == 0x8400 ? 0x003A : 0x603A;
        device->onBinary = [this, read](const R& r,
                                        int) -> std::optional<std::vector<std::uint8_t>> {
            if (r.command == read) {
                return std::nullopt;
            }
            return device->healthyBinary(r);
        };
        EXPECT_EQ(run(), MessageRow::msgVerifyError);
        EXPECT_EQ(panel.counter(ErrorCounter::Verify), model == 0x8401 ? 42 : 6);
        EXPECT_EQ(panel.reason,
                  "pages 0 and 1 could not be read back; the device was not started" + kNextStep);
        EXPECT_FALSE(started());
    }
}

TEST_F(UpgradeRunTest, ReadRepliesShorterThanThePageAreFailedReads) {
    // The head alone, or a text with half a page: retried and counted, and
    // never compared against zero fill.
    useFirmware(0x8400, 128);
    device->onBinary = [this](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
        auto reply = device->healthyBinary(r);
        if (r.command == 0x003A) {
            reply->resize(8);
        }
        return reply;
    };
    EXPECT_EQ(run(), MessageRow::msgVerifyError);
    EXPECT_EQ(panel.counter(ErrorCounter::Verify), 3);
    EXPECT_EQ(panel.reason, "page 0 (0x0000) could not be read back" + kNextStep);

    panel = RecordingPanel{};
    useFirmware(0x8801, 256);
    device->onText = [this](const R& r, int) -> std::optional<std::string> {
        auto reply = device->healthyText(r);
        if (r.text.find("YV") != std::string::npos) {
            reply->resize(8 + 256);
        }
        return reply;
    };
    EXPECT_EQ(run(), MessageRow::msgVerifyError);
    EXPECT_EQ(panel.counter(ErrorCounter::Verify), 3);
}

TEST_F(UpgradeRunTest, ALostLinkEndsTheStageAtOnceWhateverSkipErrorSays) {
    struct Case {
        std::uint8_t linkKind;
        std::uint16_t lostAt;  // the request whose arrival closes the link
        MessageRow expected;
        const char* stage;
    };
    for (const Case c : {Case{kLinkNet, 0x6039, MessageRow::msgProgramError, "programming"},
                         Case{kLinkCom, 0x603A, MessageRow::msgVerifyError, "verification"}}) {
        SCOPED_TRACE(c.stage);
        panel = RecordingPanel{};
        useFirmware(0x8401, 8 * 256);
        panel.options.skipError = true;
        panel.options.linkKind = c.linkKind;
        device->onBinary = [this, c](const R& r,
                                     int call) -> std::optional<std::vector<std::uint8_t>> {
            if (r.command == c.lostAt && call == 2) {
                device->closeLinkAtRequest = device->requests.size() + 1;
            }
            return device->healthyBinary(r);
        };
        const std::int64_t start = clock.nowMs();
        EXPECT_EQ(run(), c.expected);
        EXPECT_EQ(panel.reason, std::string("the link was lost during ") + c.stage +
                                    " (connection closed by the device)" + kNextStep);
        // Not a single retry after the loss: one failed attempt is counted.
        EXPECT_EQ(device->binary(c.lostAt).size(), 3U);
        EXPECT_EQ(panel.counter(c.lostAt == 0x6039 ? ErrorCounter::Program : ErrorCounter::Verify),
                  1);
        EXPECT_LT(clock.nowMs() - start, 30000);
        expectLinkClosed();
    }

    // Lost at the hello that starts programming, before any erase: the old
    // program is still there, so no word of the boot loader.
    panel = RecordingPanel{};
    useFirmware(0x8401, 8 * 256);
    device->onBinary = [this](const R& r, int call) -> std::optional<std::vector<std::uint8_t>> {
        if (r.command == kHelloCommand && call == 5) {
            device->closeLinkAtRequest = device->requests.size() + 1;
        }
        return device->healthyBinary(r);
    };
    EXPECT_EQ(run(), MessageRow::msgProgramError);
    EXPECT_EQ(panel.reason,
              "the link was lost during programming (connection closed by the device)");
}

// The time left given with each page adds up with the time taken to the
// run's length, for a binary model with a reboot wait and for a text model,
// at full images; the last estimate is the start and reboot wait alone.
TEST_F(UpgradeRunTest, TimeLeftAddsUpToTheRunOnItsClock) {
    for (const std::uint16_t model :
         {std::uint16_t{0x8401}, std::uint16_t{0x8400}, std::uint16_t{0x8801}}) {
        SCOPED_TRACE(model);
        panel = RecordingPanel{};
        useFirmware(model, 128 * 256);
        const std::int64_t start = clock.nowMs();
        ASSERT_EQ(run(), MessageRow::msgUpgradeOk);
        const std::int64_t length = clock.nowMs() - start;
        ASSERT_EQ(panel.times.size(), 2U * static_cast<std::size_t>(panel.programMax + 1));
        EXPECT_FALSE(panel.times.front().verifying);
        EXPECT_TRUE(panel.times.back().verifying);
        // The first page carries a whole erase: from the second the pace is
        // measured, and after a sixteenth of the pages it holds.
        for (std::size_t i = 1; i < panel.times.size(); ++i) {
            const RunTimes& t = panel.times[i];
            const double total = static_cast<double>(t.elapsedMs + t.leftMs);
            EXPECT_NEAR(total / static_cast<double>(length), 1.0,
                        i < panel.times.size() / 16 ? 0.7 : 0.04)
                << "page record " << i << ": " << t.elapsedMs << " + " << t.leftMs << " of "
                << length;
        }
        EXPECT_NEAR(static_cast<double>(panel.times.back().leftMs),
                    static_cast<double>(length - panel.times.back().elapsedMs),
                    0.05 * static_cast<double>(length));
    }
}

TEST_F(UpgradeRunTest, VerifyOffGoesStraightToTheStart) {
    useFirmware(0x8401, 256);
    panel.options.verify = false;
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    EXPECT_EQ(panel.messages[3], MessageRow::msgProgramOk);
    EXPECT_EQ(panel.messages[4], MessageRow::msgUpgrading);
    EXPECT_EQ(panel.verifyPos, 0);
    EXPECT_TRUE(device->binary(0x603A).empty());
}

TEST_F(UpgradeRunTest, MismatchFailsVerificationAtTheFirstDifferingPage) {
    useFirmware(0x8081, 4 * 256);
    device->onBinary = [this](const R& r, int) -> std::optional<std::vector<std::uint8_t>> {
        auto reply = device->healthyBinary(r);
        if (r.command == 0x003A && r.headAddress() == 0x200 && reply && reply->size() > 20) {
            (*reply)[20] ^= 0x01;
        }
        return reply;
    };
    EXPECT_EQ(run(), MessageRow::msgVerifyError);
    EXPECT_EQ(panel.verifyPos, 2);  // standard reads show the failing page
    EXPECT_EQ(device->binary(0x003A).size(), 3U);
    EXPECT_EQ(panel.tones.back(), std::make_pair(300, 300));
    expectLinkClosed();
}

TEST_F(UpgradeRunTest, RunTableSendsTheRightStartAndReboots) {
    struct Case {
        std::uint16_t model;
        int pageSize;
        std::uint16_t command;
        int seconds;
    };
    for (const Case c : {Case{0x8400, 128, 0x0038, 10}, Case{0x8402, 128, 0x605A, 60},
                         Case{0x8401, 256, 0x6038, 0}, Case{0x8081, 256, 0x0038, 0},
                         Case{0x8301, 128, 0x0038, 10}, Case{0x8303, 256, 0x6038, 0}}) {
        SCOPED_TRACE(c.model);
        panel = RecordingPanel{};
        useFirmware(c.model, c.pageSize);
        EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
        const auto starts = device->binary(c.command);
        ASSERT_FALSE(starts.empty());
        EXPECT_EQ(starts.back().payload, (std::vector<std::uint8_t>{0x5B, 0xE4, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(panel.rebootShown, c.seconds > 0 ? 1 : 0);
        if (c.seconds > 0) {
            EXPECT_EQ(panel.rebootClosed, 1);
            // Ticks every 500 ms; closes at the first tick past the wait.
            EXPECT_EQ(panel.rebootCaptions.size(), static_cast<std::size_t>(2 * (c.seconds + 1)));
            char last[80];
            std::snprintf(last, sizeof last,
                          "device is rebooting,please wait ..... %03d/%03d Seconds", c.seconds + 1,
                          c.seconds);
            EXPECT_EQ(panel.rebootCaptions.back(), last);
        }
    }
}

// The run still ends "Upgrade ok.", and its reason (so its record) says
// that the device may still be rebooting.
TEST_F(UpgradeRunTest, RebootWaitEndsEarlyWhenTheOperatorClosesIt) {
    useFirmware(0x8402, 128);
    panel.closeRebootWaitEarly = true;
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    EXPECT_EQ(panel.rebootShown, 1);
    EXPECT_EQ(panel.rebootClosed, 1);
    EXPECT_TRUE(panel.rebootCaptions.empty());
    EXPECT_EQ(panel.reason,
              "the reboot wait was cut short after 0 of 60 seconds: the device may still be "
              "rebooting");

    panel = RecordingPanel{};
    panel.closeRebootWaitAfter = 15;  // after 7.5 s, seen at the tick of 8 s
    panel.options.verify = false;
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    EXPECT_EQ(panel.reason,
              "not verified: Verify was off, the pages were not read back; the reboot wait was "
              "cut short after 8 of 60 seconds: the device may still be rebooting");
}

TEST_F(UpgradeRunTest, RebootCaptionFormat) {
    EXPECT_EQ(rebootWaitCaption(7, 60), "device is rebooting,please wait ..... 007/060 Seconds");
    EXPECT_EQ(rebootWaitCaption(1234, 60),
              "device is rebooting,please wait ..... 1234/060 Seconds");
}

TEST_F(UpgradeRunTest, TextPathWritesReadsAndStartsWithSum) {
    useFirmware(0x8801, 2 * 256);
    panel.options.deviceId = 5;
    device->deviceId = 5;
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    const auto programs = device->texts("YP");
    ASSERT_EQ(programs.size(), 2U);
    EXPECT_EQ(programs[1].text.size(), 526U);
    EXPECT_EQ(programs[1].text.substr(0, 14), "0005YP00000100");
    const auto reads = device->texts("YV");
    ASSERT_EQ(reads.size(), 2U);
    EXPECT_EQ(reads[1].text, "0005YV00000100");
    std::uint32_t sum = 0;
    for (int i = 0; i < 2; ++i) {
        for (auto b : image.page(i, 256)) {
            sum += b;
        }
    }
    char expected[40];
    std::snprintf(expected, sizeof expected, "0005YRC4E19D70%08X%08X", 512U, sum);
    EXPECT_EQ(device->texts("YR").at(0).text, expected);
    for (const auto& r : device->requests) {
        EXPECT_EQ(r.kind, R::Text);
    }
}

TEST_F(UpgradeRunTest, TextPathStartIsSentTwiceWhenUnansweredAndStillSucceeds) {
    useFirmware(0x8801, 0 + 32);  // a body shorter than a page: one page of mostly 0xFF
    device->onText = [this](const R& r, int) -> std::optional<std::string> {
        if (r.text.find("YR") != std::string::npos) {
            return std::nullopt;
        }
        return device->healthyText(r);
    };
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
    const auto starts = device->texts("YR");
    ASSERT_EQ(starts.size(), 2U);
    EXPECT_EQ(starts[1].atMs - starts[0].atMs, 1001 + 10 + 100);
}

TEST_F(UpgradeRunTest, TextPathLowerCaseReadBackFailsVerification) {
    useFirmware(0x8801, 256);
    device->onText = [this](const R& r, int) -> std::optional<std::string> {
        auto reply = device->healthyText(r);
        if (reply && r.text.find("YV") != std::string::npos) {
            for (char& ch : *reply) {
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            }
        }
        return reply;
    };
    EXPECT_EQ(run(), MessageRow::msgVerifyError);
}

TEST_F(UpgradeRunTest, ImagesBeyondTheSixteenBitAddressFormAreRefusedBeforeProgramming) {
    // Row 9 starts at 0x3100: page 207 would need address 0x10000.
    useFirmware(0x0131, 208 * 256);
    EXPECT_EQ(run(), MessageRow::msgProgramError);
    EXPECT_EQ(panel.reason,
              "the image's last page would need address 0x10000, beyond the 16-bit addresses of "
              "model 0x0131: it takes at most 207 pages of 256 bytes");
    EXPECT_TRUE(device->binary(0x003B).empty());
    EXPECT_TRUE(device->binary(0x0039).empty());
    EXPECT_EQ(panel.counter(ErrorCounter::Program), 0);

    panel = RecordingPanel{};
    useFirmware(0x0131, 207 * 256);
    EXPECT_EQ(run(), MessageRow::msgUpgradeOk);
}

// A header with no body would end "Upgrade ok." having written nothing.
TEST_F(UpgradeRunTest, EmptyImageIsRefusedBeforeProgramming) {
    useFirmware(0x8401, 0);
    EXPECT_EQ(run(), MessageRow::msgLoadFileError);
    EXPECT_EQ(panel.reason, "the firmware file holds a header and no firmware bytes");
    EXPECT_EQ(panel.programMax, -1);  // programming never started
    EXPECT_TRUE(device->binary(0x603B).empty());
    EXPECT_TRUE(device->binary(0x6039).empty());
    EXPECT_TRUE(device->binary(0x603A).empty());
}

TEST(ModelTables, FamiliesHoldTheirCodes) {
    auto programming = [](std::uint16_t model) { return loaderFamilyFor(model)->programming; };
    EXPECT_EQ(programming(0x8401)->eraseInterval, 4);
    EXPECT_TRUE(programming(0x8401)->tracePages);
    EXPECT_EQ(programming(0x8911)->eraseRule, EraseRule::Never);  // binary path, no erase
    EXPECT_EQ(programming(0x0151), programming(0x8472));
    EXPECT_EQ(programming(0x8201), programming(0x0000));  // every other code
    EXPECT_EQ(loaderFamilyFor(0x8403), nullptr);
    EXPECT_EQ(loaderFamilyFor(0x8304), nullptr);
    EXPECT_EQ(loaderFamilyFor(0x8801), nullptr);  // the text path
    EXPECT_EQ(loaderFamilyFor(0x0134)->verification->form, AddressForm::Bits16);
    EXPECT_EQ(loaderFamilyFor(0x8411)->verification->form, AddressForm::Bits24);
    EXPECT_EQ(normalizeModel(0x850F), 0x8501);
    EXPECT_EQ(normalizeModel(0x8510), 0x8510);
    EXPECT_EQ(normalizeModel(0x0105), 0x0101);
    EXPECT_TRUE(isKnownModel(0x840F));
    EXPECT_FALSE(isKnownModel(0x8410));
    EXPECT_EQ(groupCommandsFor(0x8401).versionAttempts, 9);
    EXPECT_EQ(groupCommandsFor(0x8405).versionQuery, 0);
    EXPECT_EQ(groupCommandsFor(0x8201).modeCommand, 0x0038);
    EXPECT_EQ(runCommandFor(0x8405).command, 0);
    int noErase = 0;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        const ModelFamily* family = loaderFamilyFor(static_cast<std::uint16_t>(code));
        noErase += family && family->programming->eraseRule == EraseRule::Never;
    }
    EXPECT_EQ(noErase, 125);
}

}  // namespace
}  // namespace flashmere::testing
