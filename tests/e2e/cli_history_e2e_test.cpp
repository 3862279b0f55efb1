// The history through flashmere-cli: the listing and its filters, a killed
// upgrade, a wrong model. What an upgrade records and a history that cannot
// be written run in process (tests/cli/cli_upgrade_test.cpp).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "frontend/run_history.h"
#include "tests/support/process_harness.h"

namespace flashmere::testing {
namespace {

RunRecord record(const char* time, int id, const char* serial, int exit) {
    RunRecord r;
    r.time = time;
    r.frontEnd = "cli";
    r.operation = "upgrade";
    r.address = "10.0.0.7:4001";
    r.id = id;
    r.deviceSerial = serial;
    r.exit = exit;
    r.message = exit == 0 ? "Upgrade ok." : "Verify error!";
    r.reason = "=formula, \"quoted\"";
    return r;
}

// Newest first; --since, --serial and --id narrow it, together; a damaged
// line is skipped and counted on stderr.
TEST(CliHistory, ListsNewestFirstAndFilters) {
    QTemporaryDir dir;
    const RunHistory history(dir.path());
    ASSERT_EQ(history.append(record("2026-11-30T23:00:00+00:00", 1, "00000001", 0)), "");
    ASSERT_EQ(history.append(record("2026-12-02T08:00:00+01:00", 2, "0000000A", 16)), "");
    {
        QFile file(history.filePath());
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("{\"time\":\"garbled\n");
    }
    ASSERT_EQ(history.append(record("2026-12-03T08:00:00+01:00", 1, "0000000a", 0)), "");
    const QString settings = dir.filePath("settings.json");
    const auto ids = [&](const QStringList& options) {
        const ProcessResult r = runCli(QStringList{"history", "--json"} + options, settings, 10000);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        QStringList seen;
        for (const QString& line : r.lines()) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            seen << o.value("time").toString().left(10) + "/" +
                        QString::number(o.value("id").toInt());
        }
        return seen;
    };
    EXPECT_EQ(ids({}), QStringList({"2026-12-03/1", "2026-12-02/2", "2026-11-30/1"}));
    EXPECT_EQ(ids({"--since", "2026-12-02"}), QStringList({"2026-12-03/1", "2026-12-02/2"}));
    // The time and its offset count, not only the date.
    EXPECT_EQ(ids({"--since", "2026-12-02T07:00:00Z"}),
              QStringList({"2026-12-03/1", "2026-12-02/2"}));
    EXPECT_EQ(ids({"--since", "2026-12-02T08:30:00+01:00"}), QStringList({"2026-12-03/1"}));
    EXPECT_EQ(ids({"--since", "2026-12-03T01:30:00-06:00"}), QStringList());
    EXPECT_EQ(ids({"--serial", "0000000A"}), QStringList({"2026-12-03/1", "2026-12-02/2"}));
    EXPECT_EQ(ids({"--id", "1"}), QStringList({"2026-12-03/1", "2026-11-30/1"}));
    EXPECT_EQ(ids({"--id", "1", "--serial", "0000000a"}), QStringList({"2026-12-03/1"}));

    const ProcessResult table = runCli({"history"}, settings, 10000);
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_TRUE(table.err.contains("1 damaged line")) << table.err.toStdString();
    ASSERT_GE(table.lines().size(), 4);
    EXPECT_TRUE(table.lines()[0].startsWith("TIME")) << table.out.toStdString();
    EXPECT_TRUE(table.lines()[1].startsWith("2026-12-03")) << table.out.toStdString();

    const ProcessResult csv = runCli({"history", "--csv", "--id", "2"}, settings, 10000);
    ASSERT_EQ(csv.lines().size(), 2) << csv.out.toStdString();
    EXPECT_TRUE(csv.lines()[0].startsWith("time,user,station,front_end,"));
    EXPECT_TRUE(csv.lines()[1].contains(",16,\"'=formula, \"\"quoted\"\"\","))
        << csv.out.toStdString();

    EXPECT_EQ(runCli({"history", "--since", "yesterday"}, settings, 10000).exitCode, 2);
    EXPECT_EQ(runCli({"history", "--csv", "--json"}, settings, 10000).exitCode, 2);
}

QJsonObject onlyRecord(const QString& settings) {
    const ProcessResult listed = runCli({"history", "--json"}, settings, 10000);
    EXPECT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    EXPECT_EQ(listed.lines().size(), 1) << listed.out.toStdString();
    return listed.lines().isEmpty() ? QJsonObject()
                                    : QJsonDocument::fromJson(listed.lines()[0].toUtf8()).object();
}

// kill -9 of an upgrade in the middle of programming: its lines written
// before the device was changed list it as ended without an outcome, with
// the device it had identified and what that leaves on the device.
TEST(CliHistory, AKilledUpgradeIsListedWithoutAnOutcomeAndWithWhatItHadDone) {
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 96 * 256);
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--serial-number", "00C0FFEE",
                           "--reboot-ms", "300"}));
    const QString settings = dir.filePath("settings.json");
    QProcess upgrade;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FLASHMERE_SETTINGS_FILE", settings);
    upgrade.setProcessEnvironment(env);
    upgrade.start(binDir() + "/flashmere-cli",
                  {"upgrade", file, "--net", sim.endpoint(), "--json"});
    bool programming = false;
    QElapsedTimer waited;
    waited.start();
    while (!programming && waited.elapsed() < 30000 && upgrade.waitForReadyRead(5000)) {
        while (upgrade.canReadLine()) {
            const QJsonObject e = QJsonDocument::fromJson(upgrade.readLine()).object();
            programming =
                programming || (e.value("event") == "progress" && e.value("bar") != "verify" &&
                                e.value("position").toInt() >= 2);
        }
    }
    ASSERT_TRUE(programming) << "the upgrade never got to its third page";
    upgrade.kill();
    ASSERT_TRUE(upgrade.waitForFinished(5000));

    const QJsonObject r = onlyRecord(settings);
    EXPECT_EQ(r.value("stage").toString(), "writing");
    EXPECT_FALSE(r.contains("exit"));
    EXPECT_EQ(r.value("device").toObject().value("serial").toString(), "00C0FFEE");
    EXPECT_EQ(r.value("file").toObject().value("name").toString(), "fw.TVB");
    const ProcessResult table = runCli({"history"}, settings, 10000);
    EXPECT_TRUE(table.out.contains("ended without an outcome")) << table.out.toStdString();
    const ProcessResult csv = runCli({"history", "--csv"}, settings, 10000);
    EXPECT_TRUE(csv.out.contains("part of the program")) << csv.out.toStdString();
}

// A device of another model answers: the record names the model and serial
// number it gave, though the window's panels stay empty for it.
TEST(CliHistory, AWrongModelRunRecordsTheDeviceThatAnswered) {
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 2 * 256);
    SimProcess sim(dir);
    ASSERT_TRUE(
        sim.start({"--tcp", "127.0.0.1:0", "--model", "8081", "--serial-number", "0BADF00D"}));
    const QString settings = dir.filePath("settings.json");
    const ProcessResult run = runCli({"upgrade", file, "--net", sim.endpoint()}, settings, 60000);
    ASSERT_EQ(run.exitCode, 13) << run.out.toStdString() << run.err.toStdString();
    const QJsonObject r = onlyRecord(settings);
    EXPECT_EQ(r.value("exit").toInt(), 13);
    EXPECT_EQ(r.value("device").toObject().value("model").toString(), "8081");
    EXPECT_EQ(r.value("device").toObject().value("serial").toString(), "0BADF00D");
}

}  // namespace
}  // namespace flashmere::testing
