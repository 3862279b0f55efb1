#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "tests/support/process_harness.h"
#include "tests/support/transcript.h"

namespace flashmere::testing {
namespace {

QJsonObject readJson(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                       : QJsonObject();
}

// Program requests (binary 6039 or text YP) a simulator's log holds; on a
// bus, those that device heard for its own address.
int programRequests(const SimProcess& sim, int device = -1) {
    int count = 0;
    for (const QJsonObject& e : readTranscript(sim.logPath())) {
        const bool program =
            e.value("command").toString() == "0x6039" || e.value("text").toString().contains("YP");
        count += e.value("event").toString() == "request" && program &&
                 (device < 0 ||
                  (e.value("device").toInt() == device && e.value("address").toInt() == device));
    }
    return count;
}

void writeText(const QString& path, const QString& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
}

bool holdsImage(const std::vector<std::uint8_t>& memory, const std::vector<std::uint8_t>& image) {
    return memory.size() >= image.size() && std::equal(image.begin(), image.end(), memory.begin());
}

TEST(CliScan, FindsTheThreeDevicesOfAPtyBusAndNothingElseAnswers) {
    QTemporaryDir dir;
    SimProcess bus(dir, "bus");
    ASSERT_TRUE(
        bus.start({"--pty", "--model", "8401", "--id", "3", "--id", "7", "--device", "8801:12"}));
    const ProcessResult r = runCli({"scan", "--com", bus.endpoint(), "--mode", "115200,n,8,1",
                                    "--ids", "0-15", "--timeout-ms", "150", "--json"},
                                   dir.filePath("settings.json"), 60000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject result = QJsonDocument::fromJson(r.lines().last().toUtf8()).object();
    QStringList found;
    for (const QJsonValue& v : result.value("found").toArray()) {
        const QJsonObject d = v.toObject();
        found << QString("%1:%2:%3")
                     .arg(d.value("id").toInt())
                     .arg(d.value("model").toString(), d.value("serial").toString());
    }
    EXPECT_EQ(found, QStringList({"3:8401:12345678", "7:8401:12345679", "12:8801:1234567A"}))
        << r.out.toStdString();

    // Identification requests only.
    bus.stop();
    int requests = 0;
    for (const QJsonObject& e : transcriptEvents(bus.logPath(), "request")) {
        ++requests;
        const QString command = e.value("command").toString();
        EXPECT_TRUE(command == "0x0001" || command == "0x0003" ||
                    e.value("text").toString().endsWith("AS1"))
            << QJsonDocument(e).toJson(QJsonDocument::Compact).toStdString();
    }
    EXPECT_GT(requests, 0);
}

// Two binary and one text device, one on TCP and two on a pty bus; the bus's
// binary device damages its three replies to page 1, so that row fails.
TEST(CliFleet, OneFaultyDeviceFailsOnlyItsRowAndResumeRerunsOnlyThatRow) {
    QTemporaryDir dir;
    std::vector<std::uint8_t> binaryBody, textBody;
    ASSERT_FALSE(makeFirmware(dir, "fw8401.TVB", 0x8401, 2 * 256, &binaryBody).isEmpty());
    ASSERT_FALSE(makeFirmware(dir, "fw8801.TVB", 0x8801, 256 + 5, &textBody).isEmpty());
    SimProcess tcp(dir, "tcp");
    ASSERT_TRUE(
        tcp.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "0", "--reboot-ms", "300"}));
    SimProcess bus(dir, "bus");
    ASSERT_TRUE(bus.start({"--pty", "--model", "8401", "--id", "2", "--device", "8801:5",
                           "--reboot-ms", "300", "--fault", "program:1:corrupt=3@2"}));
    const QString manifest = dir.filePath("site.csv");
    writeText(manifest, QString("# site A\n"
                                "name,net,com,mode,id,file\n"
                                "reader,%1,,,,fw8401.TVB\n"
                                "\n"
                                "bus reader,,%2,\"115200,n,8,1\",2,fw8401.TVB\n"
                                "bus text,,%2,\"115200,n,8,1\",5,fw8801.TVB\n")
                            .arg(tcp.endpoint(), bus.endpoint()));
    const QString settings = dir.filePath("settings.json");

    const ProcessResult first = runCli({"fleet", manifest, "--jobs", "4"}, settings, 120000);
    ASSERT_TRUE(first.finished);
    EXPECT_EQ(first.exitCode, 20) << first.out.toStdString() << first.err.toStdString();
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
    EXPECT_EQ(ends, QStringList({"3:0:1", "5:15:0", "6:0:1"})) << first.out.toStdString();
    EXPECT_EQ(devices[1].toObject().value("counters").toObject().value("program").toInt(), 3);
    const int tcpPrograms = programRequests(tcp);
    const int textPrograms = programRequests(bus, 5);
    EXPECT_GT(tcpPrograms, 0);
    EXPECT_GT(textPrograms, 0);

    const ProcessResult again = runCli(
        {"fleet", manifest, "--resume", dir.filePath("fleet-report.json")}, settings, 120000);
    ASSERT_TRUE(again.finished);
    EXPECT_EQ(again.exitCode, 0) << again.out.toStdString() << again.err.toStdString();
    QStringList states;
    for (const QJsonValue& v :
         readJson(dir.filePath("fleet-report.json")).value("devices").toArray()) {
        states << v.toObject().value("state").toString();
    }
    EXPECT_EQ(states, QStringList({"resumed", "done", "resumed"}));
    EXPECT_EQ(programRequests(tcp), tcpPrograms);
    EXPECT_EQ(programRequests(bus, 5), textPrograms);
    EXPECT_TRUE(QFile::exists(dir.filePath("fleet-report.csv")));
    // The history holds a record per device run: three, then the one rerun.
    const ProcessResult history = runCli({"history", "--csv"}, settings, 10000);
    EXPECT_EQ(history.out.count(",fleet,upgrade,"), 4) << history.out.toStdString();
    EXPECT_EQ(history.out.count(",Program/Download error!,15,"), 1) << history.out.toStdString();

    EXPECT_TRUE(holdsImage(tcp.stopAndDump(), binaryBody));
    bus.stop();
    EXPECT_TRUE(holdsImage(bus.busDump(2), binaryBody));
    EXPECT_TRUE(holdsImage(bus.busDump(5), textBody));
}

TEST(CliFleet, BadManifestsNameRowAndColumnAndTouchNoDevice) {
    QTemporaryDir dir;
    ASSERT_FALSE(makeFirmware(dir, "fw8401.TVB", 0x8401, 256).isEmpty());
    ASSERT_FALSE(makeFirmware(dir, "fw8801.TVB", 0x8801, 256).isEmpty());
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "0"}));
    const QString settings = dir.filePath("settings.json");

    writeText(dir.filePath("header.csv"), "net,port,id\n" + sim.endpoint() + ",1,0\n");
    const ProcessResult header = runCli({"fleet", dir.filePath("header.csv")}, settings, 30000);
    EXPECT_EQ(header.exitCode, 2);
    EXPECT_TRUE(header.err.contains("row 1, column 2 (port): unknown column"))
        << header.err.toStdString();

    const QString net = sim.endpoint();
    writeText(dir.filePath("rows.csv"), QString("net,com,id,file\n"
                                                "%1,/dev/null,0,fw8401.TVB\n"
                                                "%1,,12x,fw8401.TVB\n"
                                                "%1,,4,missing.TVB\n"
                                                "%1,,5,fw8401.TVB\n"
                                                "%1,,5,fw8801.TVB\n"
                                                "%1,,6,fw8401.TVB,extra\n")
                                            .arg(net));
    const ProcessResult rows = runCli({"fleet", dir.filePath("rows.csv")}, settings, 30000);
    EXPECT_EQ(rows.exitCode, 2);
    for (const char* where :
         {"row 2, column 2 (com)", "row 3, column 3 (id)", "row 4, column 4 (file)",
          "row 6, column 4 (file)", "row 7, column 5"}) {
        EXPECT_TRUE(rows.err.contains(where)) << where << "\n" << rows.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("fleet-report.json")));
    sim.stop();
    EXPECT_TRUE(transcriptEvents(sim.logPath(), "link-opened").empty());
}

}  // namespace
}  // namespace flashmere::testing
