#include "upgrade_floor.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "firmware/firmware_writer.h"

namespace flashmere::bench {
namespace {

class FloorFile {
  public:
    FloorFile(std::uint16_t model, std::size_t bytes) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("flashmere-floor-test-" + std::to_string(::getpid()) + "-" +
                  std::to_string(model) + ".TVB"))
                    .string();
        std::vector<std::uint8_t> body(bytes);
        for (std::size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<std::uint8_t>(i * 13 + i / 256 + 1);
        }
        ok_ = writeFirmwareFile(path_, model, "FLOOR", "1.0", body).ok;
    }
    ~FloorFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::string& path() const { return path_; }
    bool ok() const { return ok_; }

  private:
    std::string path_;
    bool ok_ = false;
};

FloorScenario scenarioFor(const FloorFile& file, bool net, const char* line) {
    FloorScenario s;
    s.firmwareFile = file.path();
    s.net = net;
    if (line != nullptr) {
        s.line = parseLineMode(line);
    }
    return s;
}

struct CleanRun {
    std::uint16_t model;
    bool net;
    const char* line;  // nullptr: no pacing
};

class FloorCleanRunTest : public ::testing::TestWithParam<CleanRun> {};

// The floor is only meaningful for a run that went through: every request
// answered, the run ends "Upgrade ok.", the stages in order, and the
// virtual time made of pauses plus waiting that the line explains.
TEST_P(FloorCleanRunTest, EveryRequestIsAnsweredAndTheStagesFollowInOrder) {
    const CleanRun& c = GetParam();
    FloorFile file(c.model, 4 * 256);
    ASSERT_TRUE(file.ok());
    const FloorResult r = computeUpgradeFloor(scenarioFor(file, c.net, c.line));
    ASSERT_TRUE(r.fileAccepted);
    EXPECT_EQ(r.outcome, MessageRow::msgUpgradeOk);
    EXPECT_GT(r.requests, 0U);
    EXPECT_EQ(r.requests, r.replies);
    const auto connected = r.markOf(MessageRow::msgConnectOk);
    const auto programming = r.markOf(MessageRow::msgProgramming);
    const auto verified = r.markOf(MessageRow::msgVerifyOk);
    const auto done = r.markOf(MessageRow::msgUpgradeOk);
    ASSERT_TRUE(connected && programming && verified && done);
    EXPECT_LE(*connected, *programming);
    EXPECT_LT(*programming, *verified);
    EXPECT_LE(*verified, *done);
    EXPECT_EQ(*done, r.totalMs);
    EXPECT_EQ(r.pausesMs + r.waitingMs, r.totalMs);
    EXPECT_GT(r.pausesMs, 0);
    // A request's wire time overlaps its send pause, so the plain sum of
    // pauses, wire time and latency bounds the floor from above (up to the
    // whole millisecond each piece of output is rounded to).
    EXPECT_LE(static_cast<double>(r.totalMs), r.additiveMs() + 2.0 * double(r.requests + 1));
    if (c.line == nullptr) {
        EXPECT_EQ(r.wireMs, 0.0);
    } else {
        EXPECT_GT(r.wireMs, 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, FloorCleanRunTest,
    ::testing::Values(CleanRun{0x8401, false, "19200,e,8,1"}, CleanRun{0x8401, true, nullptr},
                      CleanRun{0x8400, false, "115200,n,8,1"},
                      CleanRun{0x8201, false, "19200,e,8,1"}, CleanRun{0x8201, true, nullptr},
                      CleanRun{0x8801, false, "19200,e,8,1"}, CleanRun{0x8801, true, nullptr}));

// Over TCP the device's latency hides under the 5 ms send pause up to 5 ms;
// beyond that every answered request waits the difference.
TEST(UpgradeFloorTest, LatencyBeyondTheSendPauseAddsToEveryExchange) {
    FloorFile file(0x8081, 6 * 256);
    ASSERT_TRUE(file.ok());
    FloorScenario fast = scenarioFor(file, true, nullptr);
    fast.latencyMs = 2;
    FloorScenario slow = fast;
    slow.latencyMs = 20;
    const FloorResult a = computeUpgradeFloor(fast);
    const FloorResult b = computeUpgradeFloor(slow);
    ASSERT_EQ(a.outcome, MessageRow::msgUpgradeOk);
    ASSERT_EQ(b.outcome, MessageRow::msgUpgradeOk);
    ASSERT_EQ(a.replies, b.replies);
    EXPECT_EQ(a.waitingMs, 0);
    EXPECT_EQ(b.totalMs - a.totalMs, static_cast<std::int64_t>(b.replies) * 15);
    EXPECT_EQ(a.pausesMs, b.pausesMs);
}

// Model 0x8400 holds the run 11 seconds in the reboot wait after its start.
TEST(UpgradeFloorTest, RebootWaitOfModel8400IsPartOfTheFloor) {
    FloorFile file(0x8400, 3 * 128);
    ASSERT_TRUE(file.ok());
    const FloorResult r = computeUpgradeFloor(scenarioFor(file, true, nullptr));
    ASSERT_EQ(r.outcome, MessageRow::msgUpgradeOk);
    const auto upgrading = r.markOf(MessageRow::msgUpgrading);
    ASSERT_TRUE(upgrading);
    EXPECT_GE(r.totalMs - *upgrading, 11000);
    EXPECT_LT(r.totalMs - *upgrading, 11000 + 500);
}

// A slower line can only raise the floor.
TEST(UpgradeFloorTest, SlowerLineGivesHigherFloor) {
    FloorFile file(0x8801, 5 * 256);
    ASSERT_TRUE(file.ok());
    const FloorResult tcp = computeUpgradeFloor(scenarioFor(file, false, nullptr));
    const FloorResult fast = computeUpgradeFloor(scenarioFor(file, false, "115200,n,8,1"));
    const FloorResult slow = computeUpgradeFloor(scenarioFor(file, false, "19200,e,8,1"));
    EXPECT_LT(tcp.totalMs, fast.totalMs);
    EXPECT_LT(fast.totalMs, slow.totalMs);
    EXPECT_EQ(fast.requestBytes, slow.requestBytes);
    EXPECT_EQ(fast.replyBytes, slow.replyBytes);
}

TEST(UpgradeFloorTest, UnreadableOrRejectedFileGivesNoFloor) {
    FloorScenario s;
    s.firmwareFile = "/nonexistent/flashmere/floor.TVB";
    EXPECT_FALSE(computeUpgradeFloor(s).fileAccepted);

    const auto junk = std::filesystem::temp_directory_path() /
                      ("flashmere-floor-junk-" + std::to_string(::getpid()) + ".TVB");
    {
        std::FILE* f = std::fopen(junk.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("this is not a firmware file, only text of some length", f);
        std::fclose(f);
    }
    s.firmwareFile = junk.string();
    EXPECT_FALSE(computeUpgradeFloor(s).fileAccepted);
    std::filesystem::remove(junk);
}

}  // namespace
}  // namespace flashmere::bench
