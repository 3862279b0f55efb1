#pragma once

// Reads the transcript that flashmere-devsim --log writes (one JSON object a
// line) and the --json events of flashmere-cli.

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "tests/support/attempt_ledger.h"

namespace flashmere::testing {

// Every event of a transcript file, in order; none when it cannot be read.
inline std::vector<QJsonObject> readTranscript(const QString& path) {
    std::vector<QJsonObject> events;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return events;
    }
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (!o.isEmpty()) {
            events.push_back(o);
        }
    }
    return events;
}

// The events of one type ("request", "link-opened", ...).
inline std::vector<QJsonObject> transcriptEvents(const QString& path, const QString& type) {
    std::vector<QJsonObject> found;
    for (const QJsonObject& e : readTranscript(path)) {
        if (e.value("event").toString() == type) {
            found.push_back(e);
        }
    }
    return found;
}

}  // namespace flashmere::testing

namespace flashmere::reliability {

inline std::optional<std::uint32_t> hexField(const QJsonObject& o, const char* name) {
    if (!o.contains(name)) {
        return std::nullopt;
    }
    bool ok = false;
    const auto value = o.value(name).toString().toUInt(&ok, 16);
    return ok ? std::optional<std::uint32_t>(value) : std::nullopt;
}

// The transcript as the attempt ledger reads it.
inline std::vector<LedgerEvent> readTranscriptFile(const QString& path) {
    std::vector<LedgerEvent> events;
    for (const QJsonObject& o : testing::readTranscript(path)) {
        LedgerEvent e;
        e.type = o.value("event").toString().toStdString();
        e.kind = o.value("kind").toString().toStdString();
        e.command = static_cast<std::uint16_t>(hexField(o, "command").value_or(0));
        e.text = o.value("text").toString().toStdString();
        e.pageAddress = hexField(o, "page_address");
        e.note = o.value("note").toString().toStdString();
        events.push_back(std::move(e));
    }
    return events;
}

// The counters and result of a flashmere-cli --json run.
struct CliEvents {
    CounterTriple counters;
    QString resultText;
    bool resultOk = false;
    bool hasResult = false;
};

inline CliEvents readCliEvents(const QStringList& lines) {
    CliEvents out;
    for (const QString& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        const QString event = o.value("event").toString();
        if (event == "counter") {
            const QString name = o.value("counter").toString();
            const int value = o.value("value").toInt();
            if (name == "erase") {
                out.counters.erase = value;
            } else if (name == "program") {
                out.counters.program = value;
            } else if (name == "verify") {
                out.counters.verify = value;
            }
        } else if (event == "result") {
            out.hasResult = true;
            out.resultOk = o.value("ok").toBool();
            out.resultText = o.value("text").toString();
        }
    }
    return out;
}

}  // namespace flashmere::reliability
