#include "fleet_report.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <fstream>

#include "console_panel.h"
#include "firmware/file_path.h"

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

std::string deviceJson(const FleetRow& row, const FleetOutcome& o) {
    std::string j = "{\"row\":" + std::to_string(row.row) + ",\"name\":" + jsonString(row.name) +
                    ",\"" + row.linkColumn + "\":" + jsonString(row.linkText) +
                    ",\"id\":" + std::to_string(row.id) + ",\"file\":" + jsonString(row.fileText) +
                    ",\"sha256\":\"" + row.sha256 + "\",\"state\":\"" + stateName(o.state) +
                    "\",\"ok\":" + (o.ok ? "true" : "false");
    j += ",\"exit\":" + (hasExit(o) ? std::to_string(o.exit) : std::string("null"));
    j += ",\"message\":" +
         jsonString(o.state == FleetState::Interrupted ? "interrupted" : o.message);
    j += ",\"reason\":" + jsonString(o.reason);
    j += ",\"seconds\":" + (hasExit(o) ? secondsText(o.seconds) : std::string("null"));
    j += ",\"counters\":{\"erase\":" + std::to_string(o.counters[0]) +
         ",\"program\":" + std::to_string(o.counters[1]) +
         ",\"verify\":" + std::to_string(o.counters[2]) + "}";
    j += ",\"device\":{\"model\":" + jsonString(o.model) + ",\"version\":" + jsonString(o.version) +
         ",\"serial\":" + jsonString(o.serial) + "}}";
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
        "row,name,link,address,id,file,sha256,state,ok,exit,message,reason,seconds,"
        "erase_errors,program_errors,verify_errors,model,version,serial\n";
    for (std::size_t i = 0; i < report.outcomes.size(); ++i) {
        const FleetRow& row = (*report.rows)[i];
        const FleetOutcome& o = report.outcomes[i];
        const std::vector<std::string> cells = {
            std::to_string(row.row),
            row.name,
            row.linkColumn,
            row.linkText,
            std::to_string(row.id),
            row.fileText,
            row.sha256,
            stateName(o.state),
            o.ok ? "true" : "false",
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
        for (std::size_t c = 0; c < cells.size(); ++c) {
            out += (c == 0 ? "" : ",") + csvCell(cells[c]);
        }
        out += "\n";
    }
    return out;
}

bool writeAtomically(const std::string& path, const std::string& text) {
    const std::filesystem::path temporary =
        pathFromUtf8(path + ".tmp-" + std::to_string(QCoreApplication::applicationPid()));
    std::error_code ignored;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code failed;
    std::filesystem::rename(temporary, pathFromUtf8(path), failed);
    if (failed) {
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
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
    if (!writeAtomically(jsonPath, j)) {
        return "cannot write the report " + jsonPath;
    }
    const std::string csv = csvPathFor(jsonPath);
    if (!writeAtomically(csv, csvText(report))) {
        return "cannot write the report " + csv;
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
        const QJsonObject device = d.value("device").toObject();
        o.model = device.value("model").toString().toStdString();
        o.version = device.value("version").toString().toStdString();
        o.serial = device.value("serial").toString().toStdString();
        rows[resumeKey(column, d.value(QString::fromStdString(column)).toString().toStdString(),
                       d.value("id").toInt(-1), d.value("sha256").toString().toStdString())] = o;
    }
    return rows;
}

std::string isoTimeNow() {
    // Whole seconds, as 2026-01-31T12:00:00Z.
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
}

}  // namespace flashmere::cli
