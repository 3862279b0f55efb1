// flashmere-cli history: the recorded runs, newest first, as a table, JSON
// lines or CSV.

#include <QDate>
#include <QDateTime>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "cli_common.h"
#include "commands.h"
#include "frontend/run_history.h"

namespace flashmere::cli {
namespace {

// "2026-12-01" (from local midnight) or an ISO 8601 time (local when it
// names no offset).
std::optional<QDateTime> parseSince(const std::string& text) {
    const QString value = QString::fromStdString(text).trimmed();
    // Only a bare date is a day: QDate would read the date of a full time
    // and drop its hour and offset.
    const QDate date = value.size() == 10 ? QDate::fromString(value, Qt::ISODate) : QDate();
    if (date.isValid()) {
        return date.startOfDay();
    }
    const QDateTime time = QDateTime::fromString(value, Qt::ISODate);
    return time.isValid() ? std::optional(time) : std::nullopt;
}

void printRaw(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
}

std::vector<QStringList> tableRows(const std::vector<const RunRecord*>& records) {
    std::vector<QStringList> rows = {{"TIME", "FRONT END", "RUN", "LINK", "ID", "MODEL", "SERIAL",
                                      "FILE", "VERSION", "EXIT", "MESSAGE"}};
    for (const RunRecord* r : records) {
        rows.push_back({r->time, r->frontEnd, r->operation, r->address, QString::number(r->id),
                        r->deviceModel, r->deviceSerial, r->fileName, r->fileVersion,
                        hasOutcome(*r) ? QString::number(r->exit) : QStringLiteral("-"),
                        listedMessage(*r)});
    }
    return rows;
}

void printTable(const std::vector<const RunRecord*>& records) {
    std::vector<QStringList> rows = tableRows(records);
    std::vector<qsizetype> widths(rows.front().size(), 0);
    for (QStringList& row : rows) {
        for (qsizetype c = 0; c < row.size(); ++c) {
            row[c] = printableText(row[c]);
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            line += c + 1 == row.size() ? row[c] : row[c].leftJustified(widths[c] + 2);
        }
        printRaw(line.toUtf8() + '\n');
    }
}

}  // namespace

int runHistoryCommand(const HistoryArgs& args) {
    HistoryFilter filter;
    if (!args.since.empty()) {
        filter.since = parseSince(args.since);
        if (!filter.since) {
            return fail(ExitCode::Usage, "--since \"" + oneLine(args.since) +
                                             "\" is neither a date (2026-12-01) nor an ISO 8601 "
                                             "time");
        }
    }
    filter.serial = QString::fromStdString(args.serial);
    if (args.id >= 0) {
        filter.id = args.id;
    }
    const RunHistory history = RunHistory::ofThisUser();
    const HistoryContent content = history.read();
    if (!content.error.isEmpty()) {
        return fail(ExitCode::FileUnreadable, oneLine(content.error.toStdString()));
    }
    if (content.damagedLines > 0) {
        std::fprintf(stderr, "%s: %d damaged line%s of %s skipped\n", kProgramName,
                     content.damagedLines, content.damagedLines == 1 ? "" : "s",
                     oneLine(history.filePath().toStdString()).c_str());
    }
    std::vector<const RunRecord*> shown;
    for (auto it = content.records.rbegin(); it != content.records.rend(); ++it) {
        if (filter.matches(*it)) {
            shown.push_back(&*it);
        }
    }
    if (args.json) {
        for (const RunRecord* r : shown) {
            printRaw(historyLine(*r));
        }
    } else if (args.csv) {
        printRaw(historyCsvHeader());
        for (const RunRecord* r : shown) {
            printRaw(historyCsvRow(*r));
        }
    } else {
        printTable(shown);
        std::printf("%zu of %zu runs; history %s\n", shown.size(), content.records.size(),
                    oneLine(history.filePath().toStdString()).c_str());
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace flashmere::cli
