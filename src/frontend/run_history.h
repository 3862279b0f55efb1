#pragma once

#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

#include "frontend/run_record.h"

namespace flashmere {

// What a reading of the history found.
struct HistoryContent {
    std::vector<RunRecord> records;  // oldest first
    int damagedLines = 0;            // lines that were not records, skipped
    QString error;                   // why the history could not be read; empty when it could
};

// Which records a listing shows.
struct HistoryFilter {
    std::optional<QDateTime> since;  // at or after
    QString serial;                  // the device's serial number, any case; empty: all
    std::optional<int> id;           // the device ID addressed
    bool matches(const RunRecord& record) const;
};

// The history of device runs: one JSON object per line in history.jsonl in
// the folder that holds the settings file. Lines are only ever appended,
// each whole or not at all (a line a full disk cuts short is cut back) and
// never through a symbolic link, in one write under a lock file that every
// writer (runs of one fleet, a window, scripts, other processes) takes, so
// records never mix and none is lost; a lock left by a process that died is
// taken over. When the file would grow past its size limit it becomes
// history.1.jsonl (the older ones move up to history.<keep>.jsonl, the
// oldest is dropped) under the same lock.
class RunHistory {
  public:
    static constexpr qint64 kDefaultMaxBytes = 8 << 20;
    static constexpr int kDefaultKeep = 3;

    explicit RunHistory(QString folder, qint64 maxBytes = kDefaultMaxBytes,
                        int keep = kDefaultKeep);
    // The history beside a settings file (AppSettings::storePath()).
    static RunHistory besideSettings(const QString& settingsPath);
    // The history beside the settings file this process uses by default.
    static RunHistory ofThisUser();

    const QString& folder() const { return folder_; }
    QString filePath() const;
    // history.<n>.jsonl, n from 1 (the newest of the older files).
    QString olderFilePath(int n) const;

    // Appends the record; empty when it was written, else why not.
    QString append(const RunRecord& record) const;
    // Every run of the files, oldest first, its lines joined into one record.
    HistoryContent read() const;

  private:
    void rotate() const;

    QString folder_;
    qint64 maxBytes_;
    int keep_;
};

// True the first time it is called in this process, false after: a history
// that cannot be written is told once, not after every run.
bool firstHistoryFailure();

}  // namespace flashmere
