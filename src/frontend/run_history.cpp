#include "frontend/run_history.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <atomic>
#include <mutex>

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

QString lockProblem(const QLockFile& lock) {
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
               : QStringLiteral("the lock file cannot be taken");
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
    if (!lock.tryLock(kLockWaitMs)) {
        return lockProblem(lock);
    }
    const QFileInfo current(filePath());
    if (current.exists() && current.size() > 0 && current.size() + line.size() > maxBytes_) {
        rotate();
    }
    if (!endsWithLineEnd(filePath())) {
        line.prepend('\n');
    }
    // One write of the whole line in append mode, unbuffered.
    QFile file(filePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        return QStringLiteral("%1 cannot be opened: %2").arg(filePath(), file.errorString());
    }
    if (file.write(line) != line.size()) {
        return QStringLiteral("%1 cannot be written: %2").arg(filePath(), file.errorString());
    }
    file.close();
    return {};
}

HistoryContent RunHistory::read() const {
    HistoryContent content;
    if (folder_.isEmpty() || !QFileInfo(folder_).isDir()) {
        return content;
    }
    const std::lock_guard inProcess(processLock());
    QLockFile lock(filePath() + QStringLiteral(".lock"));
    // A history on a folder this user cannot write is read without the lock:
    // nobody writes there either.
    if (!lock.tryLock(kLockWaitMs) && lock.error() != QLockFile::PermissionError) {
        content.error = lockProblem(lock);
        return content;
    }
    for (int n = keep_; n >= 1; --n) {
        readLines(olderFilePath(n), content);
    }
    readLines(filePath(), content);
    return content;
}

bool firstHistoryFailure() {
    static std::atomic<bool> told{false};
    return !told.exchange(true);
}

}  // namespace flashmere
