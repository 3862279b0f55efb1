#include "frontend/run_history.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "firmware/durable_file.h"
#include "frontend/app_settings.h"

namespace flashmere {
namespace {

// A writer holds the lock for one append (milliseconds), a reader for as
// long as reading the files takes; a run waits this long for its turn.
constexpr int kLockWaitMs = 10000;

// Runs of one process (a fleet's workers) take turns here as well: one lock
// file object per path and process is what QLockFile is made for.
std::mutex& processLock() {
    static std::mutex lock;
    return lock;
}

// Waits for the lock in short steps: QLockFile's own wait sleeps 100 ms,
// then 200, 400 and on, so a writer that finds the lock held a millisecond
// before it is freed lost most of a second.
bool takeTurn(QLockFile& lock) {
    const QDeadlineTimer deadline(kLockWaitMs);
    std::chrono::milliseconds pause(1);
    while (!lock.tryLock(0)) {
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired()) {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return true;
}

// Why a lock that nobody holds could not be made: the system's reason, as a
// one-byte file beside it fails to be written (a full disk, no permission).
QString lockFileProblem(const QString& lockPath) {
    const QString probe =
        lockPath + QStringLiteral(".%1.probe").arg(QCoreApplication::applicationPid());
    const std::string cause = appendWhole(probe.toStdString(), "-");
    QFile::remove(probe);
    return cause.empty() ? QStringLiteral("the lock file cannot be taken")
                         : QStringLiteral("the lock file cannot be made: %1")
                               .arg(QString::fromStdString(cause));
}

QString lockProblem(const QLockFile& lock, const QString& lockPath) {
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock.error() == QLockFile::LockFailedError && lock.getLockInfo(&pid, &host, &application)) {
        return QStringLiteral("the history is locked by %1 (process %2 on %3)")
            .arg(application.isEmpty() ? QStringLiteral("another program") : application)
            .arg(pid)
            .arg(host);
    }
    return lock.error() == QLockFile::PermissionError
               ? QStringLiteral("the lock file cannot be made (no permission)")
               : lockFileProblem(lockPath);
}

// True when the file is empty or ends with a line end; a writer killed in
// the middle of its line must not glue the next record to the cut one.
bool endsWithLineEnd(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() == 0) {
        return true;
    }
    file.seek(file.size() - 1);
    char last = 0;
    return file.getChar(&last) && last == '\n';
}

void readLines(const QString& path, HistoryContent& content) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.exists()) {
            content.error = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
        }
        return;
    }
    const QByteArray bytes = file.readAll();
    for (const QByteArray& line : bytes.split('\n')) {
        if (line.trimmed().isEmpty()) {
            continue;
        }
        if (auto record = parseHistoryLine(line)) {
            content.records.push_back(std::move(*record));
        } else {
            ++content.damagedLines;
        }
    }
}

}  // namespace

bool HistoryFilter::matches(const RunRecord& record) const {
    if (since && recordTime(record) < *since) {
        return false;
    }
    if (!serial.isEmpty() &&
        record.deviceSerial.trimmed().compare(serial.trimmed(), Qt::CaseInsensitive) != 0) {
        return false;
    }
    return !id || record.id == *id;
}

RunHistory::RunHistory(QString folder, qint64 maxBytes, int keep)
    : folder_(std::move(folder)), maxBytes_(maxBytes), keep_(std::max(1, keep)) {}

RunHistory RunHistory::besideSettings(const QString& settingsPath) {
    return RunHistory(settingsPath.isEmpty() ? QString() : QFileInfo(settingsPath).absolutePath());
}

RunHistory RunHistory::ofThisUser() {
    return besideSettings(AppSettings::defaultStorePath());
}

QString RunHistory::filePath() const {
    return folder_.isEmpty() ? QString() : folder_ + QStringLiteral("/history.jsonl");
}

QString RunHistory::olderFilePath(int n) const {
    return folder_ + QStringLiteral("/history.%1.jsonl").arg(n);
}

void RunHistory::rotate() const {
    QFile::remove(olderFilePath(keep_));
    for (int n = keep_ - 1; n >= 1; --n) {
        if (QFile::exists(olderFilePath(n))) {
            QFile::rename(olderFilePath(n), olderFilePath(n + 1));
        }
    }
    // A rename that fails leaves the file growing: nothing is lost.
    QFile::rename(filePath(), olderFilePath(1));
}

QString RunHistory::append(const RunRecord& record) const {
    if (folder_.isEmpty()) {
        return QStringLiteral("there is no folder for the settings and the history");
    }
    if (!QDir().mkpath(folder_)) {
        return QStringLiteral("the folder %1 cannot be made").arg(folder_);
    }
    QByteArray line = historyLine(record);
    const std::lock_guard inProcess(processLock());
    QLockFile lock(filePath() + QStringLiteral(".lock"));
    if (!takeTurn(lock)) {
        return lockProblem(lock, filePath() + QStringLiteral(".lock"));
    }
    const QFileInfo current(filePath());
    if (current.exists() && current.size() > 0 && current.size() + line.size() > maxBytes_) {
        rotate();
    }
    if (!endsWithLineEnd(filePath())) {
        line.prepend('\n');
    }
    // One write of the whole line, flushed to the disk; a line that cannot
    // be written whole is cut back, so a full disk never leaves half a record.
    const std::string problem = appendWhole(filePath().toStdString(), line.toStdString());
    if (!problem.empty()) {
        return QStringLiteral("%1 cannot be written: %2")
            .arg(filePath(), QString::fromStdString(problem));
    }
    return {};
}

HistoryContent RunHistory::read() const {
    HistoryContent content;
    if (folder_.isEmpty() || !QFileInfo(folder_).isDir()) {
        return content;
    }
    const std::lock_guard inProcess(processLock());
    QLockFile lock(filePath() + QStringLiteral(".lock"));
    // A lock that cannot be made (a folder this user cannot write, a full
    // disk) is no reason not to read: only a lock another process holds is
    // waited for. Appends are whole lines, so nothing half-written is read.
    if (!takeTurn(lock) && lock.error() == QLockFile::LockFailedError) {
        content.error = lockProblem(lock, filePath() + QStringLiteral(".lock"));
        return content;
    }
    for (int n = keep_; n >= 1; --n) {
        readLines(olderFilePath(n), content);
    }
    readLines(filePath(), content);
    joinRunLines(content.records);
    return content;
}

bool firstHistoryFailure() {
    static std::atomic<bool> told{false};
    return !told.exchange(true);
}

}  // namespace flashmere
