#include "fleet_report.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

#include "console_panel.h"
#include "firmware/durable_file.h"

namespace flashmere::cli {
namespace {

const char* stateName(FleetState state) {
    switch (state) {
        case FleetState::Pending:
            return "pending";
        case FleetState::Running:
            return "running";
        case FleetState::Done:
            return "done";
        case FleetState::Interrupted:
            return "interrupted";
        case FleetState::Resumed:
            return "resumed";
    }
    return "?";
}

bool hasExit(const FleetOutcome& o) {
    return o.state == FleetState::Done || o.state == FleetState::Resumed;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

// The hash of what a finished row's device was given (empty when the run
// loaded nothing); until then, of the file as the manifest check read it.
const std::string& sha256Of(const FleetRow& row, const FleetOutcome& o) {
    return hasExit(o) ? o.loadedSha256 : row.sha256;
}

std::string jsonOrNull(const std::string& text) {
    return text.empty() ? std::string("null") : jsonString(text);
}

}  // namespace

std::string versionAfterField(const FleetOutcome& o) {
    if (!o.afterStart) {
        return {};
    }
    return ",\"version_after\":" +
           (o.afterStart->answered ? jsonString(o.afterStart->version) : std::string("null"));
}

namespace {

std::string deviceJson(const FleetRow& row, const FleetOutcome& o) {
    std::string j =
        "{\"row\":" + std::to_string(row.row) + ",\"name\":" + jsonString(row.name) + ",\"" +
        row.linkColumn + "\":" + jsonString(row.linkText) + ",\"id\":" + std::to_string(row.id) +
        ",\"file\":" + jsonString(row.fileText) + ",\"sha256\":" + jsonOrNull(sha256Of(row, o)) +
        ",\"state\":\"" + stateName(o.state) + "\",\"started\":" + jsonOrNull(o.started) +
        ",\"ok\":" + (o.ok ? "true" : "false") + ",\"verified\":" + (o.verified ? "true" : "false");
    j += ",\"exit\":" + (hasExit(o) ? std::to_string(o.exit) : std::string("null"));
    j += ",\"message\":" +
         jsonString(o.state == FleetState::Interrupted ? "interrupted" : o.message);
    j += ",\"reason\":" + jsonString(o.reason);
    j += ",\"seconds\":" + (hasExit(o) ? secondsText(o.seconds) : std::string("null"));
    j += ",\"counters\":{\"erase\":" + std::to_string(o.counters[0]) +
         ",\"program\":" + std::to_string(o.counters[1]) +
         ",\"verify\":" + std::to_string(o.counters[2]) + "}";
    j += ",\"device\":{\"model\":" + jsonString(o.model) + ",\"version\":" + jsonString(o.version) +
         ",\"serial\":" + jsonString(o.serial) + versionAfterField(o) + "}}";
    return j;
}

// A CSV cell: quoted when it holds a separator, a quote or a line end; text
// that a spreadsheet would take for a formula gets a leading apostrophe.
std::string csvCell(std::string text) {
    if (!text.empty() && std::string_view("=+-@").find(text.front()) != std::string_view::npos) {
        text.insert(0, "'");
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

std::string csvText(const FleetReport& report) {
    std::string out =
        "row,name,link,address,id,file,sha256,state,started,ok,verified,exit,message,reason,"
        "seconds,erase_errors,program_errors,verify_errors,model,version,serial";
    out += report.checkAfterStart ? ",version_after\n" : "\n";
    for (std::size_t i = 0; i < report.outcomes.size(); ++i) {
        const FleetRow& row = (*report.rows)[i];
        const FleetOutcome& o = report.outcomes[i];
        std::vector<std::string> cells = {
            std::to_string(row.row),
            row.name,
            row.linkColumn,
            row.linkText,
            std::to_string(row.id),
            row.fileText,
            sha256Of(row, o),
            stateName(o.state),
            o.started,
            o.ok ? "true" : "false",
            o.verified ? "true" : "false",
            hasExit(o) ? std::to_string(o.exit) : "",
            o.state == FleetState::Interrupted ? "interrupted" : o.message,
            o.reason,
            hasExit(o) ? secondsText(o.seconds) : "",
            std::to_string(o.counters[0]),
            std::to_string(o.counters[1]),
            std::to_string(o.counters[2]),
            o.model,
            o.version,
            o.serial};
        if (report.checkAfterStart) {
            cells.push_back(o.afterStart ? o.afterStart->version : std::string());
        }
        for (std::size_t c = 0; c < cells.size(); ++c) {
            out += (c == 0 ? "" : ",") + csvCell(cells[c]);
        }
        out += "\n";
    }
    return out;
}

// Empty when written whole and flushed to the disk, else the system's
// reason; on failure the old file stays as it was.
std::string writeAtomically(const std::string& path, const std::string& text) {
    return replaceWhole(path, text);
}

// Why a lock file cannot be made: the system's reason, as a file of that
// name fails to open (a file that was not there is removed again).
std::string lockFileProblem(const std::string& path) {
    QFile probe(QString::fromStdString(path));
    const bool existed = probe.exists();
    if (!probe.open(QIODevice::Append)) {
        return probe.errorString().toStdString();
    }
    probe.close();
    if (!existed) {
        probe.remove();
    }
    return "cannot lock " + oneLine(path);
}

}  // namespace

std::string csvPathFor(const std::string& jsonPath) {
    const auto slash = jsonPath.rfind('/');
    const auto dot = jsonPath.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        return jsonPath.substr(0, dot) + ".csv";
    }
    return jsonPath + ".csv";
}

std::string writeFleetReport(const std::string& jsonPath, const FleetReport& report) {
    std::string j = "{\"manifest\":" + jsonString(report.manifest) +
                    ",\"started\":" + jsonString(report.started) + ",\"finished\":" +
                    (report.finished.empty() ? std::string("null") : jsonString(report.finished)) +
                    ",\"interrupted\":" + (report.interrupted ? "true" : "false") +
                    ",\"devices\":[";
    for (std::size_t i = 0; i < report.outcomes.size(); ++i) {
        j += (i == 0 ? "\n" : ",\n") + deviceJson((*report.rows)[i], report.outcomes[i]);
    }
    j += "\n]}\n";
    if (const std::string reason = writeAtomically(jsonPath, j); !reason.empty()) {
        return "cannot write the report " + oneLine(jsonPath) + ": " + reason;
    }
    const std::string csv = csvPathFor(jsonPath);
    if (const std::string reason = writeAtomically(csv, csvText(report)); !reason.empty()) {
        return "cannot write the report " + oneLine(csv) + ": " + reason;
    }
    return {};
}

std::string resumeKey(const std::string& linkColumn, const std::string& linkText, int id,
                      const std::string& sha256) {
    return linkColumn + "\n" + linkText + "\n" + std::to_string(id) + "\n" + sha256;
}

std::map<std::string, FleetOutcome> readOkRows(const std::string& path, std::string& error) {
    std::map<std::string, FleetOutcome> rows;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = "cannot open " + oneLine(path) + ": " + unreadableReason(path);
        return rows;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject() || !document.object().value("devices").isArray()) {
        error = oneLine(path) + " is not a fleet report";
        return rows;
    }
    for (const QJsonValue& value : document.object().value("devices").toArray()) {
        const QJsonObject d = value.toObject();
        if (!d.value("ok").toBool() || d.value("exit").toInt(-1) != 0) {
            continue;
        }
        const std::string column = d.contains("net") ? "net" : "com";
        FleetOutcome o;
        o.state = FleetState::Resumed;
        o.ok = true;
        o.exit = 0;
        o.message = d.value("message").toString().toStdString();
        o.seconds = d.value("seconds").toDouble();
        o.started = d.value("started").toString().toStdString();
        o.loadedSha256 = d.value("sha256").toString().toStdString();
        o.verified = d.value("verified").toBool(false);
        o.reason = d.value("reason").toString().toStdString();
        const QJsonObject device = d.value("device").toObject();
        o.model = device.value("model").toString().toStdString();
        o.version = device.value("version").toString().toStdString();
        o.serial = device.value("serial").toString().toStdString();
        // Checked after its start and ok: the device answered, with a new version.
        if (const QJsonValue after = device.value("version_after"); after.isString()) {
            o.afterStart = AfterStartCheck{true, after.toString().toStdString(), true, o.reason};
        }
        rows[resumeKey(column, d.value(QString::fromStdString(column)).toString().toStdString(),
                       d.value("id").toInt(-1), d.value("sha256").toString().toStdString())] = o;
    }
    return rows;
}

std::string isoTimeNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
}

ReportLock::ReportLock(const std::string& reportPath)
    : lock_(std::make_unique<QLockFile>(QString::fromStdString(pathFor(reportPath)))),
      reportPath_(reportPath) {
    // Only a holder that no longer runs makes a lock stale, never its age:
    // a fleet may run for days.
    lock_->setStaleLockTime(0);
}

ReportLock::~ReportLock() = default;

std::string ReportLock::pathFor(const std::string& reportPath) {
    return reportPath + ".lock";
}

void ReportLock::release() {
    lock_->unlock();
}

std::string ReportLock::acquire() {
    if (lock_->tryLock(0)) {
        return {};
    }
    const std::string report = oneLine(reportPath_);
    qint64 pid = 0;
    QString host, program;
    if (lock_->error() == QLockFile::LockFailedError && lock_->getLockInfo(&pid, &host, &program)) {
        return "the report " + report + " belongs to another run: process " + std::to_string(pid) +
               " (" + oneLine(program.toStdString()) + " on " + oneLine(host.toStdString()) +
               ") holds " + oneLine(pathFor(reportPath_)) + "; give this run its own --report";
    }
    return "cannot write the report " + report + ": " + lockFileProblem(pathFor(reportPath_));
}

}  // namespace flashmere::cli
