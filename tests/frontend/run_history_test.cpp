// The history file: several processes and threads appending at once, the
// rotation, damaged lines, and the one warning of a history that cannot be
// written.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "frontend/run_history.h"
#include "frontend/run_recorder.h"
#include "tests/support/recording_panel.h"
#include "tests/support/small_disk.h"

namespace flashmere {
namespace {

QString writerProbe() {
    return QStringLiteral(FLASHMERE_BIN_DIR) + "/frontend_history_writer";
}

RunRecord recordWithId(int id) {
    RunRecord r;
    r.time = QStringLiteral("2026-12-08T10:00:00+01:00");
    r.frontEnd = QStringLiteral("test");
    r.id = id;
    r.reason = QString(100, QChar('r'));
    return r;
}

// Six writer processes and two threads of this one append at once into a
// history that rotates several times meanwhile: every record is there once,
// whole, and each writer's records keep their order.
TEST(RunHistory, ConcurrentWritersLoseNoRecordAndMixNone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    constexpr int kProcesses = 6, kThreads = 2, kEach = 30;
    constexpr qint64 kMaxBytes = 16 * 1024;
    const RunHistory history(dir.path(), kMaxBytes, 1000);
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int p = 0; p < kProcesses; ++p) {
        auto process = std::make_unique<QProcess>();
        process->start(writerProbe(), {dir.path(), QString::number(kMaxBytes), "1000",
                                       QString("process%1").arg(p), QString::number(kEach)});
        writers.push_back(std::move(process));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&history, t] {
            for (int i = 0; i < kEach; ++i) {
                RunRecord r = recordWithId(i);
                r.frontEnd = QString("thread%1").arg(t);
                EXPECT_EQ(history.append(r), QString());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& process : writers) {
        ASSERT_TRUE(process->waitForFinished(60000)) << "a writer did not finish";
        EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
    }

    const HistoryContent content = history.read();
    EXPECT_EQ(content.error, QString());
    EXPECT_EQ(content.damagedLines, 0);
    ASSERT_EQ(content.records.size(), std::size_t{(kProcesses + kThreads) * kEach});
    std::map<QString, int> nextId;
    for (const RunRecord& r : content.records) {
        EXPECT_EQ(r.id, nextId[r.frontEnd]++) << r.frontEnd.toStdString();
    }
    EXPECT_EQ(nextId.size(), std::size_t{kProcesses + kThreads});
    EXPECT_TRUE(QFile::exists(history.olderFilePath(3))) << "the history never rotated";
    const QStringList files = QDir(dir.path()).entryList({"history*.jsonl"}, QDir::Files);
    for (const QString& name : files) {
        EXPECT_LE(QFileInfo(dir.filePath(name)).size(), kMaxBytes) << name.toStdString();
    }
}

// The file becomes history.1.jsonl when it would pass its limit, the older
// ones move up and the oldest beyond the kept number is dropped.
TEST(RunHistory, RotatesAtItsLimitAndKeepsTheNewest) {
    QTemporaryDir dir;
    const qint64 line = historyLine(recordWithId(11)).size();  // the longest
    const RunHistory history(dir.path(), 3 * line, 2);         // three records a file
    for (int id = 0; id < 12; ++id) {
        ASSERT_EQ(history.append(recordWithId(id)), QString());
    }
    EXPECT_FALSE(QFile::exists(history.olderFilePath(3)));
    const HistoryContent content = history.read();
    std::vector<int> ids;
    for (const RunRecord& r : content.records) {
        ids.push_back(r.id);
    }
    // history.jsonl holds 9..11, history.1 6..8, history.2 3..5.
    EXPECT_EQ(ids, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

// A garbled line and a line cut short by a writer that died are skipped and
// counted; the record appended after the cut one stays whole.
TEST(RunHistory, DamagedLinesAreSkippedAndCounted) {
    QTemporaryDir dir;
    const RunHistory history(dir.path());
    {
        QFile file(history.filePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(historyLine(recordWithId(1)));
        file.write("not json at all\n");
        file.write(historyLine(recordWithId(2)).left(40));  // no line end
    }
    ASSERT_EQ(history.append(recordWithId(3)), QString());
    const HistoryContent content = history.read();
    EXPECT_EQ(content.damagedLines, 2);
    ASSERT_EQ(content.records.size(), 2u);
    EXPECT_EQ(content.records[0].id, 1);
    EXPECT_EQ(content.records[1].id, 3);
}

// A full disk: a record that does not fit is cut back whole, the reason is
// the system's, and the history is still read when not even its lock file
// can be made.
TEST(RunHistory, AFullDiskLeavesNoHalfRecordAndTheHistoryStillReads) {
    testing::SmallDisk disk(64);
    if (!disk.mounted()) {
        GTEST_SKIP() << disk.why();
    }
    const RunHistory history(disk.path());
    ASSERT_EQ(history.append(recordWithId(1)), QString());
    const qint64 before = QFileInfo(history.filePath()).size();
    disk.fill(1);  // room for the lock file, not for the record
    RunRecord large = recordWithId(2);
    large.reason = QString(12000, QChar('x'));
    const QString problem = history.append(large);
    EXPECT_TRUE(problem.contains("No space left on device")) << problem.toStdString();
    EXPECT_EQ(QFileInfo(history.filePath()).size(), before);

    disk.fill();
    const QString noLock = history.append(recordWithId(3));
    EXPECT_TRUE(noLock.contains("No space left on device")) << noLock.toStdString();
    const HistoryContent content = history.read();
    EXPECT_EQ(content.error, QString());
    EXPECT_EQ(content.damagedLines, 0);
    ASSERT_EQ(content.records.size(), 1u);
    EXPECT_EQ(content.records[0].id, 1);
}

// history.jsonl replaced by a link to another file: nothing is written
// through it, and the reason says why.
TEST(RunHistory, ALinkInPlaceOfTheHistoryIsNotWrittenThrough) {
    QTemporaryDir dir;
    const QString elsewhere = dir.filePath("elsewhere.txt");
    {
        QFile file(elsewhere);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("keep\n");
    }
    const RunHistory history(dir.path());
    ASSERT_TRUE(QFile::link(elsewhere, history.filePath()));
    const QString problem = history.append(recordWithId(1));
    EXPECT_TRUE(problem.contains("symbolic link")) << problem.toStdString();
    QFile file(elsewhere);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "keep\n");
}

// A history whose folder cannot be made: the record is not written, and the
// warning comes with the first run only.
TEST(RunHistory, AHistoryThatCannotBeWrittenIsToldOnce) {
    QTemporaryDir dir;
    QFile blocker(dir.filePath("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    testing::RecordingPanel panel;
    const RunHistory history(dir.filePath("blocker/flashmere"));
    RecordedRun first(panel, history, "cli", "upgrade");
    const QString warning = first.finish(nullptr, {}, 0);
    EXPECT_TRUE(warning.startsWith("the run was not written to the history"))
        << warning.toStdString();
    RecordedRun second(panel, history, "cli", "upgrade");
    EXPECT_EQ(second.finish(nullptr, {}, 0), QString());
}

// What a run showed reaches the record: device texts as bytes (not UTF-8
// stays readable as Latin-1), the last message, its reason and counters.
TEST(RunHistory, RecordHoldsWhatTheRunShowed) {
    testing::RecordingPanel panel;
    panel.options.linkKind = kLinkCom;
    panel.options.link.comPortName = "ttyUSB0";
    panel.options.link.comBaudRate = "19200,e,8,1";
    panel.options.deviceId = 7;
    RecordedRun run(panel, RunHistory(QString()), "window", "upgrade");
    OperatorPanel& p = run.panel();
    p.captureOptions();
    p.showDeviceField(DeviceField::Name,
                      "R\xE4"
                      "DER\x07");
    p.showDeviceField(DeviceField::SerialNumber, "00C0FFEE");
    p.setErrorCounter(ErrorCounter::Program, 2);
    p.showMessage(MessageRow::msgVerifyError);
    p.showMessageReason("page 3 differs");
    EXPECT_EQ(panel.messages.back(), MessageRow::msgVerifyError);  // passed on
    EXPECT_EQ(panel.deviceFields[static_cast<int>(DeviceField::SerialNumber)], "00C0FFEE");

    const RunRecord r = run.record(
        nullptr, {RunEnding::VerifyFailed, MessageRow::msgVerifyError, "page 3 differs", false},
        16);
    const auto back = parseHistoryLine(historyLine(r));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->address, "ttyUSB0");
    EXPECT_EQ(back->mode, "19200,e,8,1");
    EXPECT_EQ(back->id, 7);
    EXPECT_EQ(back->deviceName, QString::fromUtf8("R\u00e4DER\x07"));
    EXPECT_EQ(printableText(back->deviceName), QString::fromUtf8("R\u00e4DER\\x07"));
    EXPECT_EQ(back->deviceSerial, "00C0FFEE");
    EXPECT_EQ(back->message, "Verify error!");
    EXPECT_EQ(back->reason, "page 3 differs");
    EXPECT_EQ(back->counters[1], 2);
    EXPECT_EQ(back->exit, 16);
    EXPECT_TRUE(recordTime(*back).isValid());
    EXPECT_TRUE(r.time.contains(QRegularExpression("[+-]\\d\\d:\\d\\d$"))) << r.time.toStdString();
}

}  // namespace
}  // namespace flashmere
