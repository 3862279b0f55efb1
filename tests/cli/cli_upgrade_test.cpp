// The upgrade command in process, on the virtual clock against the
// simulator: each failure ending, host names it passes on to the link, the
// record an upgrade leaves in the history, device after device with
// --repeat, and the check after the start (without Verify).
// Each also runs once as a program against flashmere-devsim (CliFailure and
// CliRepeat in tests/e2e).

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli_in_process.h"
#include "sim_device.h"
#include "tests/support/process_harness.h"

namespace flashmere::testing {
namespace {

struct FailureCase {
    const char* what;
    std::uint16_t fileModel;
    QStringList simOptions;
    QStringList cliOptions;
    int exitCode;
    const char* lastLine;
    const char* reason = nullptr;  // a part of the reason line, when one is due
    int fileBytes = 4 * 256;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.what;
}

class CliFailureTest : public ::testing::TestWithParam<FailureCase> {
  protected:
    QTemporaryDir dir;
};

// Each failure ending of an upgrade as the command line ends it: its
// message last (or its JSON result), its exit code, the reason on the error
// stream, never "Upgrade ok.", within the protocol's own time bound.
TEST_P(CliFailureTest, EndsWithTheStagesMessageAndItsExitCode) {
    const FailureCase& c = GetParam();
    const QString file = makeFirmware(dir, "fw.TVB", c.fileModel, c.fileBytes);
    const InProcessRun r =
        runCliInProcess(QStringList{"upgrade", file, "--net", "127.0.0.1:5003"} + c.cliOptions,
                        QStringList{"--id", "0"} + c.simOptions, dir.filePath("settings.json"));
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    ASSERT_FALSE(r.lines().isEmpty());
    EXPECT_EQ(r.lines().last(), c.lastLine);
    EXPECT_EQ(r.out.find("Upgrade ok."), std::string::npos);
    if (c.reason != nullptr) {
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
    EXPECT_LT(r.virtualMs, 60000);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CliFailureTest,
    ::testing::Values(
        FailureCase{
            "wrong_model", 0x8401, {"--model", "8400"}, {}, 13, "Firmware file type error!"},
        FailureCase{"wrong_pin",
                    0x8401,
                    {"--model", "8401", "--pin", "1234"},
                    {},
                    12,
                    "Model or PIN error!",
                    "refused the PIN 9174"},
        FailureCase{"corrupted_page",
                    0x8401,
                    {"--model", "8401", "--fault", "corrupt-page:2"},
                    {},
                    16,
                    "Verify error!"},
        // Damaged replies fail each attempt at once; a device that never
        // answers runs on the virtual clock (fault_matrix_test).
        FailureCase{"program_never_acknowledged",
                    0x8081,
                    {"--model", "8081", "--fault", "program:1:corrupt=3"},
                    {},
                    15,
                    "Program/Download error!"},
        FailureCase{
            "json_events",
            0x8401,
            {"--model", "8401", "--fault", "corrupt-page:0"},
            {"--json"},
            16,
            R"({"event":"result","ok":false,"row":23,"text":"Verify error!",)"
            R"("reason":"page 0 (0x0000) read back different. The device now stays in its boot )"
            R"(loader without a program to run: run the same flashmere-cli upgrade command )"
            R"(again.","verified":false,"exit":16})"},
        // A binary-protocol file against a text device: silence in the
        // file's protocol, the device named from the other one (some 7 s;
        // the other way round, ten text requests, some 11 s, runs on the
        // virtual clock: WindowTest::otherProtocolFamilyAnswerNamed).
        FailureCase{"binary_file_text_device",
                    0x8401,
                    {"--model", "8801"},
                    {"--json"},
                    13,
                    R"({"event":"result","ok":false,"row":15,"text":"Firmware file type error!",)"
                    R"("reason":"a device of model 8801 answered at ID 0; the file is for model )"
                    R"x(8401 (binary protocol)","verified":false,"exit":13})x"},
        // Refused after the identification, before the first erase (the
        // device's memory is checked in upgrade_run_test).
        FailureCase{"header_only_file",
                    0x8401,
                    {"--model", "8401"},
                    {},
                    14,
                    "Load firmware file error!",
                    "no firmware bytes",
                    0},
        FailureCase{"chinese_messages",
                    0x8401,
                    {"--model", "8400"},
                    {"--lang", "zh-TW"},
                    13,
                    "韌體檔案格式與機型不符!"}),
    [](const auto& param) { return std::string(param.param.what); });

// Host names the command line leaves to the link (a very long one, one
// not in ASCII) go to it as typed, and a link that never comes up ends the
// run "Connect device error!", exit 11, with nothing stored. In process: a
// program would ask the system's resolver for them.
TEST(CliUpgrade, HostNamesGoToTheLinkAsTypedAndEndWithItsFailure) {
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 256);
    const QString settings = dir.filePath("settings.json");
    for (const std::string& host : {std::string("gerät.invalid"), std::string(5000, 'x')}) {
        SimNetwork nobody;
        const InProcessRun r = runCliInProcess(
            {"upgrade", file, "--net", QString::fromStdString(host + ":5003")}, nobody, settings);
        EXPECT_EQ(r.exitCode, 11) << r.err;
        ASSERT_FALSE(r.lines().isEmpty());
        EXPECT_EQ(r.lines().last(), "Connect device error!");
        ASSERT_FALSE(nobody.opened.empty());
        EXPECT_EQ(nobody.opened.front(), host + ":5003");
        EXPECT_FALSE(QFile::exists(settings));
    }
}

// An upgrade leaves one record: the serial number the device gave, the
// hash of the file's bytes, the outcome.
TEST(CliHistory, AnUpgradeIsRecordedWithTheIdentifiedSerialAndTheFileHash) {
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 4 * 256);
    SimDevice device(*simConfigOf(
        {"--model", "8401", "--id", "2", "--serial-number", "00C0FFEE", "--reboot-ms", "300"}));
    const QString settings = dir.filePath("settings.json");
    const InProcessRun run = runCliInProcess(
        {"upgrade", file, "--net", "127.0.0.1:5003", "--id", "2"}, device, settings);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

    const InProcessRun listed = runCliInProcess({"history", "--json"}, device, settings);
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    ASSERT_EQ(listed.lines().size(), 1) << listed.out;
    const QJsonObject r = QJsonDocument::fromJson(listed.lines()[0].toUtf8()).object();
    EXPECT_EQ(r.value("front_end").toString(), "cli");
    EXPECT_EQ(r.value("operation").toString(), "upgrade");
    EXPECT_EQ(r.value("address").toString(), "127.0.0.1:5003");
    EXPECT_EQ(r.value("id").toInt(), 2);
    EXPECT_EQ(r.value("device").toObject().value("serial").toString(), "00C0FFEE");
    EXPECT_EQ(r.value("device").toObject().value("model").toString(), "8401");
    EXPECT_EQ(r.value("file").toObject().value("sha256").toString(), sha256Of(file));
    EXPECT_EQ(r.value("file").toObject().value("path").toString(), file);
    EXPECT_EQ(r.value("message").toString(), "Upgrade ok.");
    EXPECT_EQ(r.value("exit").toInt(), 0);
    EXPECT_GT(r.value("seconds").toDouble(), 0.0);
}

// The settings folder cannot be made (a file is in the way): the upgrade
// still ends "Upgrade ok." with exit 0, and says once that the history was
// not written.
TEST(CliHistory, AHistoryThatCannotBeWrittenDoesNotFailTheUpgrade) {
    QTemporaryDir dir;
    ASSERT_TRUE(writeText(dir.filePath("blocker"), {}));
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 2 * 256);
    const InProcessRun run =
        runCliInProcess({"upgrade", file, "--net", "127.0.0.1:5003"},
                        {"--model", "8401", "--reboot-ms", "300"}, dir.filePath("blocker/s.json"));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ASSERT_FALSE(run.lines().isEmpty());
    EXPECT_EQ(run.lines().last(), "Upgrade ok.");
    EXPECT_EQ(QString::fromStdString(run.err).count("not written to the history"), 1) << run.err;
}

QStringList serialsOfUnits(const InProcessRun& run) {
    QStringList serials;
    for (const QString& line : run.lines()) {
        if (line.contains(R"("event":"unit")")) {
            serials << line.section(R"("serial":")", 1).section('"', 0, 0);
        }
    }
    return serials;
}

// Device after device on one bench: the simulator swaps the unit during each
// reboot, the tool waits for the new serial number and upgrades it, each
// unit with its record; the last unit started from the old memory and holds
// the image.
TEST(CliRepeat, UpgradesThreeSwappedUnitsEachWithItsEndingAndRecord) {
    QTemporaryDir dir;
    std::vector<std::uint8_t> body;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 16 * 256, &body);
    const std::optional<SimConfig> config =
        simConfigOf({"--model", "8401", "--swap-units", "--reboot-ms", "300"});
    ASSERT_TRUE(config);
    SimDevice device(*config);
    const QString settings = dir.filePath("settings.json");
    const InProcessRun r = runCliInProcess({"upgrade", file, "--net", "127.0.0.1:5003",
                                            "--no-verify", "--repeat", "--count", "3", "--json"},
                                           device, settings);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(serialsOfUnits(r), QStringList({"12345678", "12345679", "1234567A"}));
    EXPECT_EQ(QString::fromStdString(r.out).count(R"("event":"waiting")"), 2);
    EXPECT_EQ(QString::fromStdString(r.out).count(R"("event":"result","ok":true)"), 3);
    ASSERT_FALSE(r.lines().isEmpty());
    EXPECT_TRUE(r.lines().last().contains(R"("event":"summary","units":3,"ok":3,"not_ok":0)"))
        << r.out;
    ASSERT_GE(device.memory().size(), body.size());
    EXPECT_TRUE(std::equal(body.begin(), body.end(), device.memory().begin()));
    const InProcessRun history = runCliInProcess({"history", "--csv"}, device, settings);
    for (const char* serial : {"12345678", "12345679", "1234567A"}) {
        EXPECT_EQ(QString::fromStdString(history.out).count(serial), 1) << serial << "\n"
                                                                        << history.out;
    }
}

// --check-after: the device is identified again after the start and its
// new version reaches the reason, the JSON result and the history; a device
// gone after the start ends not ok with exit 19. The file's "V2.0" is not
// written as a device writes its version, so it is reported, not compared.
QJsonObject lastJson(const InProcessRun& run) {
    return run.lines().isEmpty() ? QJsonObject()
                                 : QJsonDocument::fromJson(run.lines().last().toUtf8()).object();
}

TEST(CliCheckAfter, TheVersionReportedAfterTheStartReachesTheResultAndTheHistory) {
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 4 * 256);
    const QString settings = dir.filePath("settings.json");
    const QStringList upgrade{"upgrade",       file,    "--net", "127.0.0.1:5003", "--no-verify",
                              "--check-after", "--json"};
    const std::optional<SimConfig> config =
        simConfigOf({"--model", "8401", "--reboot-ms", "200", "--version-after-run", "0200"});
    ASSERT_TRUE(config);
    SimDevice device(*config);
    const QJsonObject result = lastJson(runCliInProcess(upgrade, device, settings));
    EXPECT_EQ(result.value("exit").toInt(-1), 0);
    EXPECT_EQ(result.value("version_after").toString(), "0200");
    EXPECT_TRUE(result.value("reason").toString().contains(
        "checked after the start: the device answers with version 0200"));
    // Without Verify the success says that nothing was read back.
    EXPECT_EQ(result.value("verified"), QJsonValue(false));
    EXPECT_TRUE(result.value("reason").toString().startsWith(
        "not verified: Verify was off, the pages were not read back"))
        << result.value("reason").toString().toStdString();
    const InProcessRun history = runCliInProcess({"history", "--json"}, device, settings);
    ASSERT_EQ(history.lines().size(), 1) << history.out;
    const QJsonObject record = QJsonDocument::fromJson(history.lines()[0].toUtf8()).object();
    EXPECT_EQ(record.value("device").toObject().value("version_after").toString(), "0200");

    SimDevice gone(*simConfigOf({"--model", "8401", "--reboot-ms", "200"}));
    const InProcessRun silent = runCliInProcess(upgrade, gone, settings, true);
    const QJsonObject failed = lastJson(silent);
    EXPECT_EQ(failed.value("ok"), QJsonValue(false)) << silent.out;
    EXPECT_EQ(failed.value("exit").toInt(), 19);
    EXPECT_TRUE(failed.value("version_after").isNull());
    EXPECT_NE(silent.err.find("checked after the start: the device did not answer"),
              std::string::npos)
        << silent.err;
    // Without --json the last line says it too, after the stage's "Upgrade ok.".
    SimDevice goneAgain(*simConfigOf({"--model", "8401", "--reboot-ms", "200"}));
    const InProcessRun plain = runCliInProcess(upgrade.mid(0, 6), goneAgain, settings, true);
    EXPECT_EQ(plain.exitCode, 19);
    ASSERT_FALSE(plain.lines().isEmpty());
    EXPECT_EQ(plain.lines().last(), "Upgrade ok., but the check after the start failed!");
}

}  // namespace
}  // namespace flashmere::testing
