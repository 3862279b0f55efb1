// The erase command in process, on the virtual clock against the simulator,
// checked on the requests the device received.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <ostream>
#include <vector>

#include "cli_in_process.h"
#include "sim_device.h"
#include "tests/support/process_harness.h"

namespace flashmere::testing {
namespace {

struct EraseCase {
    const char* what;
    int pages;
    QStringList simOptions;
    int exitCode;
    std::vector<std::uint32_t> addresses;  // erase requests the device received, in order
    const char* expectedText;
};

void PrintTo(const EraseCase& c, std::ostream* os) {
    *os << c.what;
}

class CliEraseTest : public ::testing::TestWithParam<EraseCase> {
  protected:
    QTemporaryDir dir;
};

std::vector<const SimEvent*> requests(const SimDevice& device) {
    std::vector<const SimEvent*> found;
    for (const SimEvent& e : device.transcript()) {
        if (e.type == SimEventType::Request) {
            found.push_back(&e);
        }
    }
    return found;
}

TEST_P(CliEraseTest, ErasesOneBlockPerFourPagesOfTheFile) {
    const EraseCase& c = GetParam();
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, c.pages * 256);
    ASSERT_FALSE(file.isEmpty());
    const std::optional<SimConfig> config =
        simConfigOf(QStringList{"--model", "8401", "--id", "3"} + c.simOptions);
    ASSERT_TRUE(config);
    SimDevice device(*config);
    const InProcessRun r =
        runCliInProcess({"erase", file, "--net", "127.0.0.1:5003", "--id", "3", "--json"}, device,
                        dir.filePath("settings.json"));
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_NE(r.out.find(c.expectedText), std::string::npos) << r.out;
    // Its own stage and bar, never past the bar's end.
    const QStringList lines = r.lines();
    ASSERT_FALSE(lines.isEmpty());
    const QJsonObject first = QJsonDocument::fromJson(lines.front().toUtf8()).object();
    EXPECT_EQ(first.value("event").toString(), "stage");
    EXPECT_EQ(first.value("text").toString(), "Erasing");
    for (const QString& text : lines) {
        const QJsonObject line = QJsonDocument::fromJson(text.toUtf8()).object();
        if (line.value("event").toString() == "progress") {
            EXPECT_EQ(line.value("bar").toString(), "erase");
            EXPECT_LE(line.value("position").toInt(), line.value("maximum").toInt());
        }
    }
    const auto heard = requests(device);
    std::vector<std::uint32_t> erased;
    for (const SimEvent* e : heard) {
        if (e->command == 0x603B) {
            erased.push_back(e->pageAddress.value_or(0xFFFFFFFF));
        }
    }
    EXPECT_EQ(erased, c.addresses);
    // Into the loader first: the 6D 2E request, twice, then the hello.
    ASSERT_GE(heard.size(), 3u);
    const std::vector<std::uint8_t> intoLoader{0x6D, 0x2E, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(heard[0]->payload, intoLoader);
    EXPECT_EQ(heard[1]->payload, intoLoader);
    EXPECT_EQ(heard[2]->command, 0x0001);
}

INSTANTIATE_TEST_SUITE_P(
    Images, CliEraseTest,
    ::testing::Values(EraseCase{"pages_5", 5, {}, 0, {0x0000, 0x0400}, "erased 2 blocks"},
                      EraseCase{"retried_once",
                                5,
                                {"--fault", "erase:4:corrupt=1"},
                                0,
                                {0x0000, 0x0400, 0x0400},
                                R"("counter":"erase","value":1)"},
                      EraseCase{"failed_twice",
                                9,
                                {"--fault", "erase:4:corrupt=2"},
                                15,
                                {0x0000, 0x0400, 0x0400},
                                "Program/Download error!"}),
    [](const auto& param) { return std::string(param.param.what); });

}  // namespace
}  // namespace flashmere::testing
