// The fleet command in process: each device thread on a virtual clock of its
// own against simulated devices behind TCP ports and serial lines. Killed
// runs, bad manifests and a thousand devices at once run as programs
// (tests/e2e/cli_fleet_e2e_test.cpp).

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <atomic>
#include <filesystem>
#include <vector>

#include "cli_in_process.h"
#include "firmware/firmware_writer.h"
#include "sim_bus.h"
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

// Program requests (binary 6039 or text YP) the device heard; on a bus,
// only those for its own ID.
int programRequests(const SimDevice& device) {
    int count = 0;
    for (const SimEvent& e : device.transcript()) {
        count += e.type == SimEventType::Request && e.address == device.config().id &&
                 (e.command == 0x6039 || e.text.find("YP") != std::string::npos);
    }
    return count;
}

// Two binary devices and a text one, one on TCP and two on a serial bus
// known under two names; the bus's binary device damages its three replies
// to page 1, so that row alone fails, and a resume reruns only it.
TEST(CliFleet, OneFaultyDeviceFailsOnlyItsRowAndResumeRerunsOnlyThatRow) {
    QTemporaryDir dir;
    std::vector<std::uint8_t> binaryBody, textBody;
    ASSERT_FALSE(makeFirmware(dir, "fw8401.TVB", 0x8401, 2 * 256, &binaryBody).isEmpty());
    ASSERT_FALSE(makeFirmware(dir, "fw8801.TVB", 0x8801, 256 + 5, &textBody).isEmpty());
    SimDevice reader = simulated({"--model", "8401", "--reboot-ms", "300"});
    const auto busReader = simConfigOf(
        {"--model", "8401", "--id", "2", "--reboot-ms", "300", "--fault", "program:1:corrupt=3@2"});
    const auto busText = simConfigOf({"--model", "8801", "--id", "5", "--reboot-ms", "300"});
    ASSERT_TRUE(busReader && busText);
    SimBus bus({*busReader, *busText});
    // The bus under two names: rows on it must still run in turn.
    const QString port = dir.filePath("ttyBUS");
    const QString alias = dir.filePath("bus-port");
    ASSERT_TRUE(writeText(port, {}));
    std::filesystem::create_symlink(port.toStdString(), alias.toStdString());
    SimNetwork network;
    network.devices = {{5401, &reader}};
    network.serialLines = {{port.toStdString(), &bus}, {alias.toStdString(), &bus}};
    const QString manifest = dir.filePath("site.csv");
    ASSERT_TRUE(writeText(manifest, QString("# site A\n"
                                            "name,net,com,mode,id,file\n"
                                            "reader,127.0.0.1:5401,,,,fw8401.TVB\n"
                                            "\n"
                                            "bus reader,,%1,\"115200,n,8,1\",2,fw8401.TVB\n"
                                            "bus text,,%2,\"115200,n,8,1\",5,fw8801.TVB\n")
                                        .arg(port, alias)));
    const QString settings = dir.filePath("settings.json");

    const InProcessRun first = runCliInProcess(
        {"fleet", manifest, "--jobs", "4", "--logs", dir.filePath("logs")}, network, settings);
    // The rows' logs hold the replies too, with their times, on the serial
    // bus and for the text protocol as well.
    for (const auto& [row, reply] : {std::pair{5, "06 "}, std::pair{6, "03 "}}) {
        const QString text =
            QString::fromUtf8(fileBytes(dir.filePath(QString("logs/row-%1.log").arg(row))));
        const QRegularExpression rx(QString(R"(\d\d:\d\d:\d\d\.\d{3} UTC RX: %1)").arg(reply));
        EXPECT_TRUE(text.contains(rx)) << row << text.left(2000).toStdString();
        EXPECT_TRUE(text.contains(" UTC TX: ")) << row;
    }
    EXPECT_EQ(first.exitCode, 20) << first.out << first.err;
    const QJsonArray devices =
        readJson(dir.filePath("fleet-report.json")).value("devices").toArray();
    ASSERT_EQ(devices.size(), 3);
    QStringList ends;
    for (const QJsonValue& v : devices) {
        const QJsonObject d = v.toObject();
        ends << QString("%1:%2:%3")
                    .arg(d.value("row").toInt())
                    .arg(d.value("exit").toInt())
                    .arg(d.value("ok").toBool());
    }
    EXPECT_EQ(ends, QStringList({"3:0:1", "5:15:0", "6:0:1"})) << first.out;
    EXPECT_EQ(devices[1].toObject().value("counters").toObject().value("program").toInt(), 3);
    // Rows on one bus run in turn: its devices' requests never interleave.
    std::vector<std::uint16_t> turns;
    for (const SimEvent& e : bus.device(0).transcript()) {
        if (e.type == SimEventType::Request && (e.address == 2 || e.address == 5) &&
            (turns.empty() || turns.back() != e.address)) {
            turns.push_back(e.address);
        }
    }
    EXPECT_EQ(turns.size(), 2u);
    const int tcpPrograms = programRequests(reader);
    const int textPrograms = programRequests(bus.device(1));
    EXPECT_GT(tcpPrograms, 0);
    EXPECT_GT(textPrograms, 0);

    const InProcessRun again = runCliInProcess(
        {"fleet", manifest, "--resume", dir.filePath("fleet-report.json")}, network, settings);
    EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_EQ(fieldOfRows(readJson(dir.filePath("fleet-report.json")), "state"),
              QStringList({"resumed", "done", "resumed"}));
    EXPECT_EQ(programRequests(reader), tcpPrograms);
    EXPECT_EQ(programRequests(bus.device(1)), textPrograms);
    EXPECT_TRUE(QFile::exists(dir.filePath("fleet-report.csv")));
    // The history holds a record per device run: three, then the one rerun.
    const QString history =
        QString::fromStdString(runCliInProcess({"history", "--csv"}, network, settings).out);
    EXPECT_EQ(history.count(",fleet,upgrade,"), 4) << history.toStdString();
    EXPECT_EQ(history.count(",Program/Download error!,15,"), 1) << history.toStdString();

    EXPECT_TRUE(holdsImage(reader.memory(), binaryBody));
    EXPECT_TRUE(holdsImage(bus.device(0).memory(), binaryBody));
    EXPECT_TRUE(holdsImage(bus.device(1).memory(), textBody));
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
// A resume trusts only rows that were checked when it checks.
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
    const QString settings = dir.filePath("settings.json");
    const QString reportPath = dir.filePath("fleet-report.json");
    const QStringList checked = {"fleet", manifest, "--no-verify", "--check-after"};
    const auto versionsAfter = [&] {
        QStringList versions;
        for (const QJsonValue& row : readJson(reportPath).value("devices").toArray()) {
            versions << row.toObject().value("device").toObject().value("version_after").toString();
        }
        return versions;
    };
    const InProcessRun run = runCliInProcess(checked, network, settings);
    EXPECT_EQ(run.exitCode, 20) << run.out << run.err;
    const QJsonObject report = readJson(reportPath);
    EXPECT_EQ(fieldOfRows(report, "exit"), QStringList({"0", "19"}));
    EXPECT_EQ(fieldOfRows(report, "ok"), QStringList({"true", "false"}));
    EXPECT_EQ(versionsAfter(), QStringList({"0200", "0100"}));
    EXPECT_TRUE(fieldOfRows(report, "reason")[1].contains("still the version it had before"));
    const QList<QByteArray> lines = fileBytes(dir.filePath("fleet-report.csv")).split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith(",serial,version_after"));
    EXPECT_TRUE(lines[1].endsWith(",0200"));

    // A resume keeps the checked row with its version and reruns the other.
    EXPECT_EQ(
        runCliInProcess(checked + QStringList{"--resume", reportPath}, network, settings).exitCode,
        20);
    EXPECT_EQ(fieldOfRows(readJson(reportPath), "state"), QStringList({"resumed", "done"}));
    EXPECT_EQ(versionsAfter(), QStringList({"0200", "0100"}));
    // Rows that ended ok unchecked are checked when the resume asks for it.
    EXPECT_EQ(runCliInProcess({"fleet", manifest, "--no-verify"}, network, settings).exitCode, 0);
    runCliInProcess(checked + QStringList{"--resume", reportPath}, network, settings);
    EXPECT_EQ(fieldOfRows(readJson(reportPath), "state"), QStringList({"done", "done"}));
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
