// Scans and fleets as programs against flashmere-devsim processes: a scan
// of a pty bus, bad manifests, a thousand devices at once, killed runs. The
// other fleet behaviours run in process (tests/cli/cli_fleet_test.cpp).
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <sys/resource.h>

#include "tests/support/process_harness.h"
#include "tests/support/transcript.h"

namespace flashmere::testing {
namespace {

// A fleet run that goes on while the test watches its devices.
class FleetProcess {
  public:
    FleetProcess(const QStringList& args, const QString& settings) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("FLASHMERE_SETTINGS_FILE", settings);
        process.setProcessEnvironment(env);
        process.start(binDir() + "/flashmere-cli", args);
    }
    ~FleetProcess() {
        process.kill();
        process.waitForFinished(5000);
    }
    // Its exit code once ended by itself within timeoutMs, else -1.
    int waitForExit(int timeoutMs) {
        const bool ended = process.waitForFinished(timeoutMs);
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QProcess process;
};

// Seven of the ten IDs stay silent, each beside one that answers (an ID
// taken for its neighbour's would show): each waits out its time-out, 100 ms
// here, some fifty times what a reply on the pseudo-terminal takes.
TEST(CliScan, FindsTheThreeDevicesOfAPtyBusAndNothingElseAnswers) {
    QTemporaryDir dir;
    SimProcess bus(dir, "bus");
    ASSERT_TRUE(
        bus.start({"--pty", "--model", "8401", "--id", "3", "--id", "7", "--device", "8801:12"}));
    const ProcessResult r = runCli({"scan", "--com", bus.endpoint(), "--mode", "115200,n,8,1",
                                    "--ids", "2-8,11-13", "--timeout-ms", "100", "--json"},
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

// Replies damaged twice in a row, binary and text, still find their
// devices (the third ask gets through); a connection that does not come up
// says why, as an upgrade does.
TEST(CliScan, AsksAgainAfterDamagedRepliesAndSaysWhyTheLinkFailed) {
    QTemporaryDir dir;
    SimProcess bus(dir, "bus");
    ASSERT_TRUE(bus.start({"--pty", "--model", "8401", "--id", "3", "--device", "8801:12",
                           "--fault", "cmd:0001:corrupt=2@3", "--fault", "text:AS1:corrupt=2@12"}));
    const ProcessResult r = runCli({"scan", "--com", bus.endpoint(), "--mode", "115200,n,8,1",
                                    "--ids", "2-3,12", "--timeout-ms", "150"},
                                   dir.filePath("settings.json"), 30000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.lines().last(), "2 devices found on 3 IDs") << r.out.toStdString();

    const ProcessResult refused =
        runCli({"scan", "--net", "127.0.0.1:1"}, dir.filePath("settings.json"), 30000);
    EXPECT_EQ(refused.exitCode, 10);
    EXPECT_EQ(refused.lines().last(), "Open communication port error!");
    EXPECT_TRUE(refused.err.contains("cannot connect to 127.0.0.1:1: connection refused"))
        << refused.err.toStdString();
}

TEST(CliFleet, BadManifestsNameRowAndColumnAndTouchNoDevice) {
    QTemporaryDir dir;
    ASSERT_FALSE(makeFirmware(dir, "fw8401.TVB", 0x8401, 256).isEmpty());
    ASSERT_FALSE(makeFirmware(dir, "fw8801.TVB", 0x8801, 256).isEmpty());
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "0"}));
    const QString settings = dir.filePath("settings.json");

    ASSERT_TRUE(writeText(dir.filePath("header.csv"), "net,port,id\n" + sim.endpoint() + ",1,0\n"));
    const ProcessResult header = runCli({"fleet", dir.filePath("header.csv")}, settings, 30000);
    EXPECT_EQ(header.exitCode, 2);
    EXPECT_TRUE(header.err.contains("row 1, column 2 (port): unknown column"))
        << header.err.toStdString();

    const QString net = sim.endpoint();
    ASSERT_TRUE(writeText(dir.filePath("rows.csv"), QString("net,com,id,file\n"
                                                            "%1,/dev/null,0,fw8401.TVB\n"
                                                            "%1,,12x,fw8401.TVB\n"
                                                            "%1,,4,missing.TVB\n"
                                                            "%1,,5,fw8401.TVB\n"
                                                            "%1,,5,fw8801.TVB\n"
                                                            "%1,,6,fw8401.TVB,extra\n")
                                                        .arg(net)));
    const ProcessResult rows = runCli({"fleet", dir.filePath("rows.csv")}, settings, 30000);
    EXPECT_EQ(rows.exitCode, 2);
    for (const char* where :
         {"row 2, column 2 (com)", "row 3, column 3 (id)", "row 4, column 4 (file)",
          "row 6, column 4 (file)", "row 7, column 5"}) {
        EXPECT_TRUE(rows.err.contains(where)) << where << "\n" << rows.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("fleet-report.json")));

    // One device under two spellings; a row without a file said once for
    // all rows alike; a PIN cell blamed on its own column; a host name with
    // a space; links given on the command line.
    const QString port = net.section(':', 1);
    ASSERT_TRUE(writeText(dir.filePath("more.csv"), QString("net,id,pin,file\n"
                                                            "%1,3,,fw8401.TVB\n"
                                                            "localhost:%2,3,,fw8401.TVB\n"
                                                            "%1,4,zz,fw8401.TVB\n"
                                                            "host name:%2,5,,fw8401.TVB\n"
                                                            "%1,6,,\n%1,7,,\n%1,8,,\n")
                                                        .arg(net, port)));
    const ProcessResult more = runCli({"fleet", dir.filePath("more.csv")}, settings, 30000);
    EXPECT_EQ(more.exitCode, 2);
    for (const char* where :
         {"row 3, column 2 (id): row 2 already upgrades the device", "row 4, column 3 (pin)",
          "row 5, column 1 (net)", "row 6, column 4 (file)"}) {
        EXPECT_TRUE(more.err.contains(where)) << where << "\n" << more.err.toStdString();
    }
    EXPECT_EQ(more.err.count("no firmware file"), 1) << more.err.toStdString();
    const ProcessResult linkGiven =
        runCli({"fleet", dir.filePath("more.csv"), "--net", net}, settings, 30000);
    EXPECT_EQ(linkGiven.exitCode, 2);
    EXPECT_TRUE(linkGiven.err.contains("come from its manifest row"))
        << linkGiven.err.toStdString();

    // A report that would overwrite the manifest, the firmware file or its
    // own CSV is refused; one that cannot be written gives the reason.
    const QString good = dir.filePath("good.csv");
    ASSERT_TRUE(writeText(good, "net,id,file\n" + net + ",0,fw8401.TVB\n"));
    const QByteArray firmware = [&] {
        QFile f(dir.filePath("fw8401.TVB"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    for (const QString& report : {good, dir.filePath("fw8401.TVB"), dir.filePath("out.csv")}) {
        const ProcessResult r = runCli({"fleet", good, "--report", report}, settings, 30000);
        EXPECT_EQ(r.exitCode, 2) << report.toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("never writes over its own files")) << r.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("out.csv")));
    QFile fw(dir.filePath("fw8401.TVB"));
    ASSERT_TRUE(fw.open(QIODevice::ReadOnly));
    EXPECT_EQ(fw.readAll(), firmware);
    const ProcessResult nowhere =
        runCli({"fleet", good, "--report", dir.filePath("no-folder/r.json")}, settings, 30000);
    EXPECT_EQ(nowhere.exitCode, 5);
    EXPECT_TRUE(nowhere.err.contains("No such file or directory")) << nowhere.err.toStdString();

    sim.stop();
    EXPECT_TRUE(transcriptEvents(sim.logPath(), "link-opened").empty());
}

// A thousand devices at once, the tool started with the usual soft limit of
// 1024 open files: it raises the limit and every device ends ok and read
// back (it used to abort when the descriptors ran out, every row left
// without an ending). Where the hard limit is 1024 as well, the same fleet is
// refused before any device is touched, with the numbers and what to do.
TEST(CliFleet, AThousandDevicesAtOnceFitTheUsualLimitOrAreRefusedUntouched) {
    constexpr int kDevices = 1000;
    QTemporaryDir dir;
    ASSERT_FALSE(makeFirmware(dir, "fw.TVB", 0x8401, 256).isEmpty());
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--tcp-ports", QString::number(kDevices),
                           "--model", "8401", "--id", "0", "--reboot-ms", "300"},
                          kDevices));
    QString rows = "net,id,file\n";
    for (const QString& endpoint : sim.endpoints()) {
        rows += endpoint + ",0,fw.TVB\n";
    }
    const QString manifest = dir.filePath("site.csv");
    ASSERT_TRUE(writeText(manifest, rows));
    const QString settings = dir.filePath("settings.json");
    const QString report = dir.filePath("fleet-report.json");
    const QStringList fleet = {"fleet", manifest, "--jobs", QString::number(kDevices)};

    const ProcessResult refused = runCli(fleet, settings, 30000, "-n 1024");
    EXPECT_EQ(refused.exitCode, 2) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains(
        QRegularExpression("--jobs 1000: 1000 devices at once need about \\d+ open files, but "
                           "this process may open 1024 .*: give --jobs \\d+ or less, or allow "
                           "more open files \\(ulimit -n\\); no device was touched")))
        << refused.err.toStdString();
    EXPECT_FALSE(QFile::exists(report));

    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max < 2 * kDevices) {
        GTEST_SKIP() << "the hard limit of open files, " << files.rlim_max
                     << ", holds no thousand devices";
    }
    const ProcessResult done = runCli(fleet, settings, 120000, "-Sn 1024");
    ASSERT_TRUE(done.finished);
    EXPECT_EQ(done.exitCode, 0) << done.err.toStdString();
    const QJsonArray devices = readJson(report).value("devices").toArray();
    ASSERT_EQ(devices.size(), kDevices);
    int verified = 0;
    for (const QJsonValue& v : devices) {
        verified += v.toObject().value("verified").toBool();
    }
    EXPECT_EQ(verified, kDevices);
}

// kill -9 mid-run: the report on disk names the device being upgraded, and
// the lock the killed run left is taken over. While a run holds the report a
// second run on it is refused with the holder's process ID. SIGTERM ends a
// run with a last report.
TEST(CliFleet, KilledRunsLeaveTheTruthAndOneReportBelongsToOneRun) {
    QTemporaryDir dir;
    ASSERT_FALSE(makeFirmware(dir, "fw.TVB", 0x8401, 4 * 256).isEmpty());
    SimProcess hall1(dir, "hall1");
    SimProcess hall2(dir, "hall2");
    for (SimProcess* sim : {&hall1, &hall2}) {
        ASSERT_TRUE(sim->start({"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "0", "--id", "1",
                                "--reboot-ms", "300"}));
    }
    ASSERT_TRUE(
        writeText(dir.filePath("hall1.csv"),
                  QString("net,id,file\n%1,0,fw.TVB\n%1,1,fw.TVB\n").arg(hall1.endpoint())));
    ASSERT_TRUE(
        writeText(dir.filePath("hall2.csv"),
                  QString("net,id,file\n%1,0,fw.TVB\n%1,1,fw.TVB\n").arg(hall2.endpoint())));
    const QString settings = dir.filePath("settings.json");
    const QString report = dir.filePath("fleet-report.json");

    {
        FleetProcess first({"fleet", dir.filePath("hall1.csv")}, settings);
        ASSERT_TRUE(waitForTranscriptEvent(hall1.logPath(), "request", 30000));
        const ProcessResult second = runCli({"fleet", dir.filePath("hall2.csv")}, settings, 30000);
        EXPECT_EQ(second.exitCode, 5);
        EXPECT_TRUE(second.err.contains("process " + QString::number(first.process.processId())))
            << second.err.toStdString();
        first.process.kill();
        ASSERT_TRUE(first.process.waitForFinished(5000));
    }
    const QJsonObject killed = readJson(report);
    EXPECT_EQ(fieldOfRows(killed, "state"), QStringList({"running", "pending"}));
    EXPECT_FALSE(fieldOfRows(killed, "started").first().isEmpty());
    EXPECT_TRUE(transcriptEvents(hall2.logPath(), "request").empty());

    FleetProcess third({"fleet", dir.filePath("hall2.csv")}, settings);
    ASSERT_TRUE(waitForTranscriptEvent(hall2.logPath(), "request", 30000));
    third.process.terminate();
    EXPECT_EQ(third.waitForExit(10000), 20);
    const QJsonObject ended = readJson(report);
    EXPECT_TRUE(ended.value("interrupted").toBool());
    EXPECT_FALSE(ended.value("finished").isNull());
    EXPECT_EQ(fieldOfRows(ended, "state"), QStringList({"interrupted", "interrupted"}));
    // The stop leaves no lock behind, and the history names the device it
    // was writing: stopped, without an outcome.
    EXPECT_FALSE(QFile::exists(report + ".lock"));
    const ProcessResult listed = runCli({"history", "--json"}, settings, 10000);
    QStringList stages;
    for (const QString& line : listed.lines()) {
        const QJsonObject r = QJsonDocument::fromJson(line.toUtf8()).object();
        if (r.value("address").toString() == hall2.endpoint()) {
            stages << r.value("stage").toString() + "/" + QString::number(r.value("id").toInt());
        }
    }
    EXPECT_EQ(stages, QStringList({"stopped/0"})) << listed.out.toStdString();
}

}  // namespace
}  // namespace flashmere::testing
