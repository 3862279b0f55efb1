// flashmere-cli's service commands (query, readback) against
// flashmere-devsim processes, checked on the device's transcript and on the
// files the read-back leaves. The erase runs in process
// (tests/cli/cli_service_test.cpp) and as a program stopped by a signal.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "tests/support/process_harness.h"
#include "tests/support/transcript.h"

namespace flashmere::testing {
namespace {

// The transcript's events of one kind ("request", "link-opened", ...).
std::vector<QJsonObject> events(const SimProcess& sim, const QString& kind) {
    return transcriptEvents(sim.logPath(), kind);
}

// page_address of every request with that command code, in order.
QStringList requestAddresses(const SimProcess& sim, const QString& command) {
    QStringList addresses;
    for (const QJsonObject& e : events(sim, "request")) {
        if (e.value("command").toString() == command) {
            addresses << e.value("page_address").toString();
        }
    }
    return addresses;
}

QString address(int a) {
    return QStringLiteral("0x%1").arg(a, 8, 16, QLatin1Char('0')).toUpper().replace("0X", "0x");
}

// The JSON objects of a --json run, one a line.
std::vector<QJsonObject> jsonLines(const ProcessResult& r) {
    std::vector<QJsonObject> objects;
    for (const QString& line : r.lines()) {
        objects.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
    }
    return objects;
}

class CliServiceTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString settings() const { return dir.filePath("settings.json"); }
};

TEST_F(CliServiceTest, QueriesSendTheirFramesToAddressOneAndPrintTheTraces) {
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "3"}));
    struct Case {
        const char* what;
        const char* tx;
        const char* rx;
    };
    // Device 8401 with ID 3, serial number 12345678, name SIMDEVICE, version
    // 0100, ISP 0001.
    const Case cases[] = {
        {"sn", "05 00 08 88 01 00 01 00 01 BA 07 ", "84 01 12 34 56 78 00 03 "},
        {"id", "05 00 08 88 01 00 02 00 01 55 63 ", "00 03 "},
        {"ver", "05 00 08 88 01 00 03 00 01 0F BF ",
         "53 49 4D 44 45 56 49 43 45 00 00 00 01 00 00 01 "},
    };
    for (const Case& c : cases) {
        // With --trace too, the request and the reply show once each.
        const ProcessResult r =
            runCli({"query", c.what, "--net", sim.endpoint(), "--trace"}, settings(), 20000);
        ASSERT_TRUE(r.finished) << c.what;
        EXPECT_EQ(r.exitCode, 0) << c.what << r.out.toStdString() << r.err.toStdString();
        EXPECT_EQ(r.lines(),
                  QStringList({QString("TX: ") + c.tx, QString("RX: ") + c.rx, "reply received"}))
            << r.out.toStdString();
    }
    EXPECT_EQ(events(sim, "request").size(), 3u);
    for (const QJsonObject& e : events(sim, "request")) {
        EXPECT_EQ(e.value("address").toInt(), 1);
    }
}

TEST_F(CliServiceTest, QueryWithoutAnAnswerAndBadUsage) {
    // A TCP port where nobody listens: the link comes up empty, no reply.
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8401"}));
    const QString endpoint = sim.endpoint();
    sim.stop();
    ProcessResult r = runCli({"query", "id", "--net", endpoint}, settings(), 30000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 11) << r.out.toStdString();
    EXPECT_EQ(r.lines(), QStringList({"TX: 05 00 08 88 01 00 02 00 01 55 63 (not sent)",
                                      "RX: (no reply)", "no reply"}));
    // Not a silent device: the connection was refused, and stderr says so.
    EXPECT_TRUE(
        r.err.startsWith("flashmere-cli: cannot connect to " + endpoint + ": connection refused"))
        << r.err.toStdString();

    for (const QStringList& bad :
         {QStringList{"query", "serial", "--net", "127.0.0.1:1"},
          QStringList{"query", "sn", "--net", "127.0.0.1:1", "--id", "4"}}) {
        r = runCli(bad, settings(), 10000);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
    }
}

// A read-back whose device goes away after page 2: the files are written,
// the read-back ends as incomplete with its own exit code, and the JSON
// result names the pages. A page given up after its ten attempts (silent
// or damaged replies), and what the files hold, is checked on the virtual
// clock (read_back_test): in real time ninety pages take at least 9.5 s.
TEST_F(CliServiceTest, ReadBackOfADeviceGoneMidwayEndsIncomplete) {
    SimProcess sim(dir);
    // The hello request and three page reads are answered, then the link drops.
    ASSERT_TRUE(sim.start(
        {"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "3", "--disconnect-after", "4"}));
    const QString out = dir.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    const ProcessResult r =
        runCli({"readback", "--net", sim.endpoint(), "--id", "3", "--out", out, "--json"},
               settings(), 90000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 17) << r.out.toStdString() << r.err.toStdString();
    const QJsonObject result = jsonLines(r).back();
    EXPECT_EQ(result.value("ok"), QJsonValue(false));
    EXPECT_EQ(result.value("exit").toInt(), 17);
    QJsonArray unread;
    for (int page = 3; page < 90; ++page) {
        unread.append(page);
    }
    EXPECT_EQ(result.value("unanswered").toArray(), unread);
    EXPECT_TRUE(result.value("text").toString().startsWith("read 3 pages (87 unanswered) into "))
        << result.value("text").toString().toStdString();
    EXPECT_TRUE(result.value("reason").toString().startsWith(
        "pages 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 and 77 more of 90 were not read: the link was lost"))
        << result.value("reason").toString().toStdString();
    EXPECT_EQ(jsonLines(r).front().value("text").toString(), "Reading");
    EXPECT_EQ(requestAddresses(sim, "0x603A"),
              QStringList({address(0), address(256), address(2 * 256)}));
    EXPECT_EQ(QDir(out).entryList(QDir::Files),
              QStringList({"FIRMWARE_READ.TVB", "FIRMWARE_READ_01.txt", "FIRMWARE_READ_03.txt"}));

    // The dump is no firmware file.
    const ProcessResult rejected =
        runCli({"erase", out + "/FIRMWARE_READ.TVB", "--net", "127.0.0.1:1"}, settings(), 10000);
    EXPECT_EQ(rejected.exitCode, 4);
    EXPECT_TRUE(rejected.err.contains("Firmware file type error!")) << rejected.err.toStdString();

    // A folder that is not there is named as missing, before any device.
    const ProcessResult missing = runCli(
        {"readback", "--net", "127.0.0.1:1", "--out", dir.filePath("gone")}, settings(), 10000);
    EXPECT_EQ(missing.exitCode, 5);
    EXPECT_TRUE(missing.err.contains("gone: no such folder; create it first"))
        << missing.err.toStdString();
}

TEST_F(CliServiceTest, ReadBackRefusesAnotherModelAtOnce) {
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8081", "--id", "3"}));
    const QString out = dir.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    const ProcessResult r =
        runCli({"readback", "--net", sim.endpoint(), "--id", "3", "--out", out, "--json"},
               settings(), 20000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 12) << r.out.toStdString() << r.err.toStdString();
    EXPECT_LT(r.elapsedMs, 5000);
    const QJsonObject result = jsonLines(r).back();
    EXPECT_EQ(result.value("ok"), QJsonValue(false));
    EXPECT_TRUE(result.value("reason").toString().contains("reports model 8081"))
        << r.out.toStdString();
    EXPECT_TRUE(requestAddresses(sim, "0x603A").isEmpty());
    EXPECT_TRUE(QDir(out).isEmpty());
}

TEST_F(CliServiceTest, ReadBackIntoAFolderThatCannotBeWrittenWritesNothing) {
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "3"}));
    QFile afile(dir.filePath("afile"));
    ASSERT_TRUE(afile.open(QIODevice::WriteOnly));
    afile.close();
    for (const QString& folder :
         {dir.filePath("afile/sub"), dir.filePath("afile"), dir.filePath("missing/deeper")}) {
        const ProcessResult r = runCli(
            {"readback", "--net", sim.endpoint(), "--id", "3", "--out", folder}, settings(), 20000);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 5) << folder.toStdString();
        EXPECT_TRUE(r.err.startsWith("flashmere-cli: ")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(folder)) << r.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("missing")));
    EXPECT_EQ(QFileInfo(dir.filePath("afile")).size(), 0);
    EXPECT_TRUE(events(sim, "link-opened").empty()) << "nothing was sent";
}

}  // namespace
}  // namespace flashmere::testing
