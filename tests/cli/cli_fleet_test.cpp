// The fleet command in process: each device thread on a virtual clock of its
// own against a simulated device behind its port. A fleet of devices on TCP
// and a serial bus, killed runs and a thousand devices at once run as
// programs (tests/e2e/cli_fleet_e2e_test.cpp).

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <atomic>
#include <filesystem>
#include <vector>

#include "cli_in_process.h"
#include "firmware/firmware_writer.h"
#include "sim_device.h"
#include "tests/support/process_harness.h"
#include "tests/support/small_disk.h"

namespace flashmere::testing {
namespace {

SimDevice simulated(const QStringList& simOptions) {
    const std::optional<SimConfig> config = simConfigOf(simOptions);
    EXPECT_TRUE(config) << simOptions.join(' ').toStdString();
    return SimDevice(config.value_or(SimConfig{}));
}

// The firmware file is replaced after the first device was written: the
// fleet read it once, at its check, so every device is given those bytes
// and each row names them; a resume trusts no row, since the file now holds
// others.
TEST(CliFleet, AFileSwappedDuringTheRunChangesNoDevicesBytes) {
    QTemporaryDir dir;
    std::vector<std::uint8_t> body;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 2 * 256, &body);
    QByteArray changed = fileBytes(file);
    ASSERT_GT(changed.size(), 40);
    changed[40] = static_cast<char>(changed[40] ^ 0x5A);  // a body byte: same header
    const std::vector<std::uint8_t> changedBody(changed.begin() + 32, changed.end());
    const QString swapIn = dir.filePath("new.TVB");
    {
        QFile f(swapIn);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(changed), changed.size());
    }
    const QString before = sha256Of(file);
    SimDevice first = simulated({"--model", "8401", "--reboot-ms", "1000"});
    SimDevice second = simulated({"--model", "8401", "--reboot-ms", "1000"});
    SimNetwork network;
    network.devices = {{5101, &first}, {5102, &second}};
    std::atomic<bool> swapped = false;
    network.beforeOpen = [&](std::uint16_t port) {
        if (port == 5102 && !swapped.exchange(true)) {
            std::filesystem::rename(swapIn.toStdString(), file.toStdString());
        }
    };
    const QString manifest = dir.filePath("site.csv");
    ASSERT_TRUE(writeText(manifest,
                          "net,id,file\n127.0.0.1:5101,0,fw.TVB\n"
                          "127.0.0.1:5102,0,fw.TVB\n"));
    const QString settings = dir.filePath("settings.json");

    const InProcessRun run = runCliInProcess({"fleet", manifest, "--jobs", "1"}, network, settings);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    ASSERT_TRUE(swapped);
    const QString after = sha256Of(file);
    ASSERT_NE(before, after);
    const QString report = dir.filePath("fleet-report.json");
    EXPECT_EQ(fieldOfRows(readJson(report), "sha256"), QStringList({before, before}));
    EXPECT_TRUE(holdsImage(first.memory(), body));
    EXPECT_TRUE(holdsImage(second.memory(), body));

    network.beforeOpen = nullptr;
    const InProcessRun again =
        runCliInProcess({"fleet", manifest, "--resume", report}, network, settings);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(fieldOfRows(readJson(report), "state"), QStringList({"done", "done"}));
    EXPECT_EQ(fieldOfRows(readJson(report), "sha256"), QStringList({after, after}));
    EXPECT_TRUE(holdsImage(first.memory(), changedBody));
    EXPECT_TRUE(holdsImage(second.memory(), changedBody));
}

// --check-after: each device is identified again after its start. The
// file carries 0200; the first device then reports it, the second still its
// old 0100, so that row alone ends not ok with exit 19 and the fleet with 20.
TEST(CliFleet, CheckAfterGivesEachRowTheVersionItReportsAndFailsTheUnchangedOne) {
    QTemporaryDir dir;
    const std::vector<std::uint8_t> body(2 * 256, 0x5A);
    ASSERT_TRUE(
        writeFirmwareFile(dir.filePath("fw.TVB").toStdString(), 0x8401, "E2E", "0200", body).ok);
    SimDevice changed =
        simulated({"--model", "8401", "--reboot-ms", "200", "--version-after-run", "0200"});
    SimDevice unchanged = simulated({"--model", "8401", "--reboot-ms", "200"});
    SimNetwork network;
    network.devices = {{5201, &changed}, {5202, &unchanged}};
    const QString manifest = dir.filePath("site.csv");
    ASSERT_TRUE(writeText(manifest,
                          "net,id,file\n127.0.0.1:5201,0,fw.TVB\n"
                          "127.0.0.1:5202,0,fw.TVB\n"));
    const InProcessRun run = runCliInProcess({"fleet", manifest, "--no-verify", "--check-after"},
                                             network, dir.filePath("settings.json"));
    EXPECT_EQ(run.exitCode, 20) << run.out << run.err;
    const QJsonObject report = readJson(dir.filePath("fleet-report.json"));
    EXPECT_EQ(fieldOfRows(report, "exit"), QStringList({"0", "19"}));
    EXPECT_EQ(fieldOfRows(report, "ok"), QStringList({"true", "false"}));
    QStringList versionsAfter;
    for (const QJsonValue& row : report.value("devices").toArray()) {
        versionsAfter
            << row.toObject().value("device").toObject().value("version_after").toString();
    }
    EXPECT_EQ(versionsAfter, QStringList({"0200", "0100"}));
    EXPECT_TRUE(fieldOfRows(report, "reason")[1].contains("still the version it had before"));
    const QList<QByteArray> lines = fileBytes(dir.filePath("fleet-report.csv")).split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith(",serial,version_after"));
    EXPECT_TRUE(lines[1].endsWith(",0200"));
}

// A link in place of a row's log is not written through, and logs on a full
// disk are said once with the system's reason: either way the run ends as
// one whose output failed (exit 5).
TEST(CliFleet, LogsThatCannotBeWrittenEndTheRunAsExit5) {
    SmallDisk disk(64);
    if (!disk.mounted()) {
        GTEST_SKIP() << disk.why();
    }
    QTemporaryDir dir;
    ASSERT_FALSE(makeFirmware(dir, "fw.TVB", 0x8401, 2 * 256).isEmpty());
    SimDevice device = simulated({"--model", "8401", "--reboot-ms", "300"});
    SimNetwork network;
    network.devices = {{5301, &device}};
    ASSERT_TRUE(writeText(dir.filePath("site.csv"), "net,id,file\n127.0.0.1:5301,0,fw.TVB\n"));
    ASSERT_TRUE(QDir(disk.path()).mkdir("logs"));
    const QString elsewhere = dir.filePath("elsewhere.log");
    ASSERT_TRUE(QFile::link(elsewhere, disk.filePath("logs/row-2.log")));
    const QStringList args = {"fleet", dir.filePath("site.csv"), "--logs", disk.filePath("logs")};
    const InProcessRun linked = runCliInProcess(args, network, dir.filePath("settings.json"));
    EXPECT_EQ(linked.exitCode, 5) << linked.err;
    EXPECT_NE(linked.err.find("symbolic link"), std::string::npos) << linked.err;
    EXPECT_FALSE(QFile::exists(elsewhere));

    ASSERT_TRUE(QFile::remove(disk.filePath("logs/row-2.log")));
    disk.fill();
    const InProcessRun full = runCliInProcess(args, network, dir.filePath("settings.json"));
    EXPECT_EQ(full.exitCode, 5) << full.out << full.err;
    EXPECT_EQ(QString::fromStdString(full.err).count("cannot write the log"), 1) << full.err;
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
}

}  // namespace
}  // namespace flashmere::testing
