// The faults that matter most, in real time: flashmere-cli upgrades a
// flashmere-devsim process over loopback TCP or a pseudo-terminal while the
// simulator drops, splits, disconnects, corrupts a page or falls silent.
// Each run must end honestly, within its time bound, with the counters the
// simulator's transcript shows.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>

#include "firmware/firmware_selection.h"
#include "link/virtual_clock.h"
#include "sim_device.h"
#include "sim_transport.h"
#include "tests/support/attempt_ledger.h"
#include "tests/support/process_harness.h"
#include "tests/support/recording_panel.h"
#include "tests/support/run_bound.h"
#include "tests/support/sim_ledger.h"
#include "tests/support/transcript.h"

// Lets gtest print the texts it compares.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << text.toStdString();
}
#include "upgrade/upgrade_run.h"

namespace flashmere::reliability {
namespace {

using testing::binDir;
using testing::makeFirmware;
using testing::ProcessResult;
using testing::runCli;
using testing::SimProcess;

enum class Expect { Ok, ProgramError, VerifyError, Any };

struct RealCase {
    const char* what;
    std::uint16_t model;
    int bytes;
    bool pty;
    QStringList simOptions;
    Expect expect;
    std::int64_t maxGapMs = 0;  // --split upper gap
    // Drop the connection this many request frames into programming.
    int disconnectIntoProgramming = 0;
    const char* fault = "";  // matrix runs: the fault's name and seed
    int seed = 0;
    QStringList cliOptions = {};  // e.g. --skip-errors
};

void PrintTo(const RealCase& c, std::ostream* os) {
    *os << c.what;
}

// Request frames a healthy device sees before the first program request,
// from the same run in-process on a virtual clock.
int framesBeforeProgramming(const QString& file, std::uint16_t model) {
    SimConfig config;
    config.model = model;
    config.id = 0;
    SimDevice device(config);
    VirtualClock clock;
    SimTransportFactory factory(device, clock);
    OperatorOptions options;
    options.linkKind = kLinkNet;
    testing::RecordingPanel panel(options);
    FirmwareImage image;
    selectFirmwareFile(file.toStdString(), image);
    DeviceRunContext context{panel, factory, clock, image};
    upgradeDevice(context);
    return reliability::framesBeforeProgramming(device);
}

class RealTimeFaults : public ::testing::TestWithParam<RealCase> {
  protected:
    QTemporaryDir dir;
};

TEST_P(RealTimeFaults, EndsHonestlyInTimeWithTheTranscriptsCounters) {
    const RealCase& c = GetParam();
    ASSERT_TRUE(dir.isValid());
    std::vector<std::uint8_t> body;
    const QString file = makeFirmware(dir, "fw.TVB", c.model, c.bytes, &body);
    ASSERT_FALSE(file.isEmpty());
    FirmwareImage image;
    ASSERT_TRUE(selectFirmwareFile(file.toStdString(), image).accepted);
    ASSERT_TRUE(loadFirmwareImage(image));

    QStringList simArgs;
    if (c.pty) {
        simArgs << "--pty";
    } else {
        simArgs << "--tcp"
                << "127.0.0.1:0";
    }
    simArgs << "--model" << QString::number(c.model, 16) << "--id"
            << "0"
            << "--reboot-ms"
            << "300" << c.simOptions;
    if (c.disconnectIntoProgramming > 0) {
        simArgs << "--disconnect-after"
                << QString::number(framesBeforeProgramming(file, c.model) +
                                   c.disconnectIntoProgramming);
    }
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start(simArgs));

    QStringList args = QStringList{"upgrade", file, "--json"} + c.cliOptions;
    if (c.pty) {
        args << "--com" << sim.endpoint() << "--mode"
             << "115200,n,8,1";
    } else {
        args << "--net" << sim.endpoint();
    }
    LinkTiming link;
    link.sendPauseMs = c.pty ? 10 : 5;
    link.replySpanMs = 2 + 3 * c.maxGapMs + 20;  // latency, gaps, scheduling
    const std::int64_t bound = runBoundMs(timingFor(c.model), image.pageCount, link) + 5000;
    const ProcessResult r = runCli(args, dir.filePath("settings.json"), static_cast<int>(bound));
    ASSERT_TRUE(r.finished) << "flashmere-cli did not end within " << bound << " ms";
    EXPECT_LE(r.elapsedMs, bound);

    const CliEvents events = readCliEvents(r.lines());
    ASSERT_TRUE(events.hasResult) << r.out.toStdString();
    const auto memory = sim.stopAndDump();
    const int pageSize = pageLayoutFor(c.model).pageSize;
    bool memoryMatches = memory.size() >= static_cast<std::size_t>(image.pageCount * pageSize);
    for (int i = 0; memoryMatches && i < image.pageCount; ++i) {
        const auto page = image.page(i, pageSize);
        memoryMatches = std::equal(page.begin(), page.end(),
                                   memory.begin() + static_cast<std::ptrdiff_t>(i * pageSize));
    }
    if (events.resultOk) {
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(memoryMatches) << "Upgrade ok. but the device does not hold the image";
    } else {
        EXPECT_FALSE(r.out.contains("\"text\":\"Upgrade ok.\""));
    }
    switch (c.expect) {
        case Expect::Ok:
            EXPECT_EQ(events.resultText, "Upgrade ok.") << r.out.toStdString();
            break;
        case Expect::ProgramError:
            EXPECT_EQ(events.resultText, "Program/Download error!");
            EXPECT_EQ(r.exitCode, 15);
            break;
        case Expect::VerifyError:
            EXPECT_EQ(events.resultText, "Verify error!");
            EXPECT_EQ(r.exitCode, 16);
            break;
        case Expect::Any:
            break;
    }
    // A failure in programming or verification names that stage.
    if (!events.resultOk && r.out.contains("\"text\":\"Verifying ...\"")) {
        EXPECT_EQ(events.resultText, "Verify error!");
    } else if (!events.resultOk && r.out.contains("\"text\":\"Programming ...\"") &&
               !r.out.contains("\"text\":\"Program/Download ok.\"")) {
        EXPECT_EQ(events.resultText, "Program/Download error!");
    }

    const auto transcript = readTranscriptFile(sim.logPath());
    ASSERT_FALSE(transcript.empty());
    std::string why;
    EXPECT_TRUE(countersAgree(events.counters, readLedger(transcript), why)) << why;
    if (!c.pty) {
        EXPECT_EQ(transcript.back().type, "link-closed") << "the tool left the TCP link open";
    }
    EXPECT_TRUE(r.err.isEmpty() || !r.err.contains("Sanitizer")) << r.err.toStdString();
    if (*c.fault) {
        // One line per run for scripts/fault-matrix.sh.
        std::printf("MATRIX\t%s\t%04X\t%s\t%d\t%s\t%d\t%d\t%lld\n", c.fault, c.model,
                    c.pty ? "pty" : "tcp", c.seed, qPrintable(events.resultText),
                    events.resultOk && !memoryMatches ? 1 : 0, HasFailure() ? 1 : 0,
                    static_cast<long long>(r.elapsedMs));
        std::fflush(stdout);
    }
}

// A serial device that goes away mid-run (the simulator and with it its
// pseudo-terminal end while pages are being written): the run ends at once
// with the stage's error although Skip error is on, and nothing is left
// running.
TEST(LinkLoss, APseudoTerminalClosedMidProgrammingEndsTheRunAtOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 16 * 256);
    SimProcess sim(dir);
    ASSERT_TRUE(sim.start({"--pty", "--model", "8401", "--id", "0"}));

    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FLASHMERE_SETTINGS_FILE", dir.filePath("settings.json"));
    cli.setProcessEnvironment(env);
    cli.start(binDir() + "/flashmere-cli", {"upgrade", file, "--json", "--skip-errors", "--com",
                                            sim.endpoint(), "--mode", "115200,n,8,1"});
    ASSERT_TRUE(cli.waitForStarted(5000));
    // Wait, on the tool's own progress lines, until page 2 is written.
    const QByteArray pageTwo = R"("bar":"program","position":2,)";
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains(pageTwo) && timer.elapsed() < 60000 && cli.state() == QProcess::Running) {
        cli.waitForReadyRead(1000);
        out += cli.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains(pageTwo)) << out.toStdString();

    sim.stop();
    timer.restart();
    const bool ended = cli.waitForFinished(10000);
    if (!ended) {
        cli.kill();
        cli.waitForFinished(2000);
    }
    ASSERT_TRUE(ended) << "the tool kept going after its serial device was gone";
    EXPECT_LT(timer.elapsed(), 5000);
    out += cli.readAllStandardOutput();
    EXPECT_EQ(cli.exitCode(), 15) << out.toStdString();
    EXPECT_TRUE(out.contains(R"("reason":"the link was lost during programming (serial port)"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("). The device now stays in its boot loader")) << out.toStdString();
    EXPECT_EQ(cli.state(), QProcess::NotRunning);
}

// A line where no device answers while a peer sends a stray byte every
// 300 ms (the start bytes of both reply frames in turn, so that every reply
// seems to begin and never ends): the upgrade ends "Connect device error!"
// within the bound of identification's six hello requests at 3 s each,
// with a reason that names the noise. Before each exchange had a deadline
// this run never ended.
class ChatteringLine : public ::testing::TestWithParam<bool> {};

TEST_P(ChatteringLine, EndsConnectDeviceErrorWithinItsBound) {
    constexpr std::int64_t kBoundMs = 6 * 3110 + 600 + 3000;  // requests, pauses, start-up
    const bool pty = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 2 * 256);
    SimProcess sim(dir);
    QStringList simArgs = pty ? QStringList{"--pty"} : QStringList{"--tcp", "127.0.0.1:0"};
    simArgs << "--model"
            << "8401"
            << "--silent-first"
            << "1000000"
            << "--chatter"
            << "300";
    ASSERT_TRUE(sim.start(simArgs));
    QStringList args{"upgrade", file, "--json"};
    if (pty) {
        args << "--com" << sim.endpoint() << "--mode"
             << "115200,n,8,1";
    } else {
        args << "--net" << sim.endpoint();
    }
    const ProcessResult r = runCli(args, dir.filePath("settings.json"), 3 * kBoundMs);
    ASSERT_TRUE(r.finished) << "flashmere-cli hung on a chattering line";
    const CliEvents events = readCliEvents(r.lines());
    EXPECT_EQ(r.exitCode, 11) << r.out.toStdString();
    EXPECT_EQ(events.resultText, "Connect device error!");
    EXPECT_TRUE(r.out.contains("\"reason\":\"noise on the line ")) << r.out.toStdString();
    EXPECT_LE(r.elapsedMs, kBoundMs);
    // One line for scripts/fault-matrix.sh.
    std::printf("MATRIX\tchatter\t8401\t%s\t1\t%s\t0\t%d\t%lld\n", pty ? "pty" : "tcp",
                qPrintable(events.resultText), HasFailure() ? 1 : 0,
                static_cast<long long>(r.elapsedMs));
    std::fflush(stdout);
}

// Some 19 s each: run with the whole matrix (scripts/fault-matrix.sh), not in
// CI, whose bound is proved on the virtual clock
// (FaultMatrix.AChatteringLineEndsConnectDeviceErrorWithinItsBound).
std::vector<bool> chatterLinks() {
    if (qEnvironmentVariableIntValue("FLASHMERE_FAULT_MATRIX_SEEDS") <= 0) {
        return {};
    }
    return {false, true};
}

INSTANTIATE_TEST_SUITE_P(Matrix, ChatteringLine, ::testing::ValuesIn(chatterLinks()),
                         [](const auto& param) {
                             return param.param ? "chatter_pty" : "chatter_tcp";
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ChatteringLine);

// One real run per transport, through both programs: a dropped TCP link
// mid-programming and short read replies on a pseudo-terminal. Every other
// fault runs in-process on the virtual clock (fault_matrix_test); the whole
// real-time matrix is scripts/fault-matrix.sh.
std::vector<RealCase> ciCases() {
    return {
        RealCase{"tcp_8401_disconnect", 0x8401, 4 * 256, false, {}, Expect::ProgramError, 0, 3},
        RealCase{"pty_8400_short_read",
                 0x8400,
                 3 * 128,
                 true,
                 {"--fault", "read:0:short=3"},
                 Expect::VerifyError},
    };
}

// The whole matrix (scripts/fault-matrix.sh): every model x fault x link x
// seed, when FLASHMERE_FAULT_MATRIX_SEEDS names the number of seeds.
std::vector<RealCase> matrixCases() {
    static std::vector<std::string> names;  // the cases keep pointers into it
    const int seeds = qEnvironmentVariableIntValue("FLASHMERE_FAULT_MATRIX_SEEDS");
    std::vector<RealCase> cases;
    if (seeds <= 0) {
        return cases;
    }
    struct Model {
        const char* name;
        std::uint16_t code;
        int bytes;
        int pages;
    };
    const Model models[] = {{"8401", 0x8401, 3 * 256 - 9, 3},
                            {"8400", 0x8400, 3 * 128, 3},
                            {"8201", 0x8201, 3 * 256, 3},
                            {"8801", 0x8801, 2 * 256 + 3, 3}};
    struct Fault {
        const char* name;
        Expect expect;
        bool tcpOnly;
        std::int64_t maxGap;
        std::function<QStringList(int seed, int pages)> options;
    };
    const auto page = [](int seed, int pages) { return QString::number(seed % pages); };
    const std::vector<Fault> faults = {
        {"drop1", Expect::Any, false, 0,
         [](int, int) {
             return QStringList{"--drop", "0.01"};
         }},
        {"drop5", Expect::Any, false, 0,
         [](int, int) {
             return QStringList{"--drop", "0.05"};
         }},
        {"drop20", Expect::Any, false, 0,
         [](int, int) {
             return QStringList{"--drop", "0.2"};
         }},
        {"corrupt5", Expect::Any, false, 0,
         [](int, int) {
             return QStringList{"--corrupt", "0.05"};
         }},
        {"split900", Expect::Ok, false, 900,
         [](int, int) {
             return QStringList{"--split", "0-900"};
         }},
        {"noise", Expect::Ok, false, 0,
         [](int, int) {
             return QStringList{"--noise", "24"};
         }},
        {"stale", Expect::Ok, false, 0,
         [](int, int) {
             return QStringList{"--stale", "12"};
         }},
        {"disconnect", Expect::ProgramError, true, 0, [](int, int) { return QStringList{}; }},
        {"silent_after_n", Expect::ProgramError, false, 0,
         [page](int s, int p) {
             return QStringList{"--fault", "silent-after-pages:" + page(s, p)};
         }},
        {"corrupt_page", Expect::VerifyError, false, 0,
         [page](int s, int p) {
             return QStringList{"--fault", "corrupt-page:" + page(s, p)};
         }},
        // A binary loader restarts out of loader mode and refuses the rest;
        // a text loader takes the page again after its restart.
        {"reboot_at_page", Expect::Any, false, 0,
         [page](int s, int p) {
             return QStringList{"--fault", "reboot-at-page:" + page(s, p)};
         }},
    };
    names.reserve(static_cast<std::size_t>(seeds) * 4 * faults.size() * 2);
    for (const Fault& f : faults) {
        for (const Model& m : models) {
            for (bool pty : {false, true}) {
                if (f.tcpOnly && pty) {
                    continue;
                }
                for (int seed = 1; seed <= seeds; ++seed) {
                    names.push_back(std::string("matrix_") + f.name + "_" + m.name +
                                    (pty ? "_pty_" : "_tcp_") + std::to_string(seed));
                    RealCase c{
                        names.back().c_str(),
                        m.code,
                        m.bytes,
                        pty,
                        f.options(seed, m.pages) + QStringList{"--seed", QString::number(seed)},
                        f.expect,
                        f.maxGap,
                        f.tcpOnly ? 1 + seed % (m.pages - 1) : 0};
                    c.fault = f.name;
                    c.seed = seed;
                    cases.push_back(c);
                }
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, RealTimeFaults, ::testing::ValuesIn(ciCases()),
                         [](const auto& param) { return std::string(param.param.what); });

INSTANTIATE_TEST_SUITE_P(Matrix, RealTimeFaults, ::testing::ValuesIn(matrixCases()),
                         [](const auto& param) { return std::string(param.param.what); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealTimeFaults);

}  // namespace
}  // namespace flashmere::reliability
