#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

#include "tests/support/process_harness.h"
#include "tests/support/transcript.h"

namespace flashmere::testing {
namespace {

struct UpgradeCase {
    const char* what;
    std::uint16_t model;
    int bytes;
    std::uint32_t base;  // device address of page 0
    bool pty;
};

void PrintTo(const UpgradeCase& c, std::ostream* os) {
    *os << c.what;
}

class CliUpgradeTest : public ::testing::TestWithParam<UpgradeCase> {
  protected:
    QTemporaryDir dir;
    QString settings() const { return dir.filePath("settings.json"); }
};

QString hex(std::uint16_t model) {
    return QString::number(model, 16).rightJustified(4, '0');
}

// One upgrade per transport through both programs; every model kind, the
// reboot wait and a first address above 0 run on the virtual clock
// (tests/reliability/sim_upgrade_test.cpp).
TEST_P(CliUpgradeTest, UpgradesTheSimulatedDeviceAndItsMemoryEqualsTheImage) {
    const UpgradeCase& c = GetParam();
    ASSERT_TRUE(dir.isValid());
    std::vector<std::uint8_t> body;
    const QString file = makeFirmware(dir, "fw.TVB", c.model, c.bytes, &body);
    ASSERT_FALSE(file.isEmpty());

    SimProcess sim(dir);
    QStringList simArgs;
    if (c.pty) {
        simArgs << "--pty";
    } else {
        simArgs << "--tcp"
                << "127.0.0.1:0";
    }
    simArgs << "--model" << hex(c.model) << "--id"
            << "0"
            << "--reboot-ms"
            << "500";
    ASSERT_TRUE(sim.start(simArgs));

    QStringList args = {"upgrade", file};
    if (c.pty) {
        args << "--com" << sim.endpoint() << "--mode"
             << "115200,n,8,1";
    } else {
        args << "--net" << sim.endpoint();
    }
    const ProcessResult r = runCli(args, settings(), 60000);
    ASSERT_TRUE(r.finished) << r.out.toStdString();
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    ASSERT_FALSE(r.lines().isEmpty());
    EXPECT_EQ(r.lines().last(), "Upgrade ok.");
    EXPECT_TRUE(r.out.contains("Verify ok."));

    const auto memory = sim.stopAndDump();
    ASSERT_GE(memory.size(), c.base + body.size());
    EXPECT_TRUE(std::equal(body.begin(), body.end(), memory.begin() + c.base))
        << "the device does not hold the image";
}

INSTANTIATE_TEST_SUITE_P(Models, CliUpgradeTest,
                         ::testing::Values(UpgradeCase{"tcp_8401", 0x8401, 3 * 256, 0, false},
                                           UpgradeCase{"pty_8801_text", 0x8801, 3 * 256 + 5, 0,
                                                       true}),
                         [](const auto& param) { return std::string(param.param.what); });

// A failure as the program ends it: its message last, its exit code, no
// "Upgrade ok."; every failure ending is checked in process on the virtual
// clock (tests/cli/cli_upgrade_test.cpp).
TEST(CliFailure, AProgrammingFailureEndsWithItsMessageAndExitCode) {
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8081, 4 * 256);
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--id", "0", "--model", "8081", "--fault",
                           "program:1:corrupt=3"}));
    const ProcessResult r =
        runCli({"upgrade", file, "--net", sim.endpoint()}, dir.filePath("settings.json"), 60000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 15) << r.out.toStdString();
    ASSERT_FALSE(r.lines().isEmpty());
    EXPECT_EQ(r.lines().last(), "Program/Download error!");
    EXPECT_FALSE(r.out.contains("Upgrade ok."));
}

TEST(CliUsage, BadLinkOptionsAreRefusedBeforeAnythingIsSent) {
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 256);
    const QString settings = dir.filePath("settings.json");
    for (const QStringList& bad :
         {QStringList{"--net", "127.0.0.1:99999"}, QStringList{"--net", "host:port"},
          QStringList{"--net", "host name"},
          QStringList{"--com", "ttyUSB0", "--mode", "19200,x,8,1"},
          QStringList{"--net", "127.0.0.1", "--id", "10000"},
          QStringList{"--net", "127.0.0.1", "--pin", "12345"},
          QStringList{"--net", "127.0.0.1", "--lang", "fr"}}) {
        const ProcessResult r = runCli(QStringList{"upgrade", file} + bad, settings, 10000);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("flashmere-cli: ") || r.err.contains("flashmere-cli"))
            << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    // A serial port that does not exist: the port message and its code.
    const ProcessResult r =
        runCli({"upgrade", file, "--com", dir.filePath("no-such-port")}, settings, 10000);
    EXPECT_EQ(r.exitCode, 10);
    EXPECT_EQ(r.lines().last(), "Open communication port error!");
}

}  // namespace
}  // namespace flashmere::testing

namespace flashmere::testing {
namespace {

struct StopCase {
    const char* what;
    QStringList command;  // before the link options; FW.TVB is the 8401 file
    int signal;
    const char* progress;  // the JSON progress after which the signal comes
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.what;
}

class CliStopSignal : public ::testing::TestWithParam<StopCase> {};

// A signal mid-run (a service manager's SIGTERM, a closed session's SIGHUP,
// Ctrl-C), each signal in another command, as they all take one path: the run stops at its next
// exchange and closes the link, ends with its message and a reason naming the signal, its JSON
// result, exit code 18, and a history record of it.
TEST_P(CliStopSignal, EndsAtTheNextExchangeSaysSoAndIsRecorded) {
    const StopCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_FALSE(makeFirmware(dir, "FW.TVB", 0x8401, 64 * 256).isEmpty());
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--id", "0"}));
    QDir().mkpath(dir.filePath("out"));
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FLASHMERE_SETTINGS_FILE", dir.filePath("settings.json"));
    cli.setProcessEnvironment(env);
    cli.setWorkingDirectory(dir.path());
    cli.start(binDir() + "/flashmere-cli",
              c.command + QStringList{"--net", sim.endpoint(), "--json"});
    ASSERT_TRUE(cli.waitForStarted(5000));
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains(c.progress) && timer.elapsed() < 60000 &&
           cli.state() == QProcess::Running) {
        cli.waitForReadyRead(1000);
        out += cli.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains(c.progress)) << out.toStdString();

    ::kill(static_cast<pid_t>(cli.processId()), c.signal);
    timer.restart();
    const bool ended = cli.waitForFinished(10000);
    if (!ended) {
        cli.kill();
        cli.waitForFinished(2000);
    }
    ASSERT_TRUE(ended) << "the run went on after the signal";
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 18);
    out += cli.readAllStandardOutput();
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    const QString named =
        QStringLiteral("stopped by a signal, ") + (c.signal == SIGTERM  ? "SIGTERM"
                                                   : c.signal == SIGHUP ? "SIGHUP"
                                                                        : "SIGINT");
    const QList<QByteArray> lines = out.trimmed().split('\n');
    const QJsonObject result = QJsonDocument::fromJson(lines.last()).object();
    EXPECT_EQ(result.value("event").toString(), "result") << out.toStdString();
    EXPECT_EQ(result.value("ok"), QJsonValue(false));
    EXPECT_EQ(result.value("exit").toInt(), 18);
    EXPECT_TRUE(result.value("reason").toString().contains(named)) << out.toStdString();
    EXPECT_TRUE(err.contains(named)) << err.toStdString();
    EXPECT_FALSE(out.contains("Upgrade ok.") || out.contains("\"ok\":true"));

    sim.stop();
    EXPECT_EQ(transcriptEvents(sim.logPath(), "link-closed").size(), 1u);
    const ProcessResult history =
        runCli({"history", "--json"}, dir.filePath("settings.json"), 10000);
    ASSERT_EQ(history.lines().size(), 1) << history.out.toStdString() << history.err.toStdString();
    const QJsonObject record = QJsonDocument::fromJson(history.lines()[0].toUtf8()).object();
    EXPECT_EQ(record.value("operation").toString(), c.command.first());
    EXPECT_EQ(record.value("exit").toInt(), 18);
    EXPECT_TRUE(record.value("reason").toString().contains(named))
        << record.value("reason").toString().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Signals, CliStopSignal,
    ::testing::Values(
        StopCase{
            "upgrade_sigterm", {"upgrade", "FW.TVB"}, SIGTERM, R"("bar":"program","position":2,)"},
        StopCase{"erase_sighup", {"erase", "FW.TVB"}, SIGHUP, R"("bar":"erase","position":8,)"},
        StopCase{"readback_sigint",
                 {"readback", "--out", "out"},
                 SIGINT,
                 R"("bar":"read","position":2,)"}),
    [](const auto& param) { return std::string(param.param.what); });

}  // namespace
}  // namespace flashmere::testing

namespace flashmere::testing {
namespace {

// The same unit stays on the bench: the program waits for the next one
// until Ctrl-C, which ends the sitting with its summary. The swapped units
// run in process (tests/cli/cli_upgrade_test.cpp).
TEST(CliRepeat, CtrlCWhileWaitingEndsTheSittingWithTheSummary) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 2 * 256);
    SimProcess same(dir);
    ASSERT_TRUE(same.start({"--tcp", "127.0.0.1:0", "--model", "8401", "--reboot-ms", "300"}));
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FLASHMERE_SETTINGS_FILE", dir.filePath("settings.json"));
    cli.setProcessEnvironment(env);
    cli.start(binDir() + "/flashmere-cli",
              {"upgrade", file, "--net", same.endpoint(), "--no-verify", "--repeat", "--json"});
    ASSERT_TRUE(cli.waitForStarted(5000));
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains(R"("event":"waiting")") && timer.elapsed() < 30000 &&
           cli.state() == QProcess::Running) {
        cli.waitForReadyRead(1000);
        out += cli.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains(R"("event":"waiting")")) << out.toStdString();
    ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
    const bool ended = cli.waitForFinished(10000);
    if (!ended) {
        cli.kill();
        cli.waitForFinished(2000);
    }
    ASSERT_TRUE(ended) << "Ctrl-C did not end the wait";
    out += cli.readAllStandardOutput();
    EXPECT_EQ(cli.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.trimmed().endsWith(R"({"event":"summary","units":1,"ok":1,"not_ok":0})"))
        << out.toStdString();
}

}  // namespace
}  // namespace flashmere::testing
