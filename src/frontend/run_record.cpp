#include "frontend/run_record.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <cmath>
#include <map>

namespace flashmere {
namespace {

const char* const kCounterNames[3] = {"erase", "program", "verify"};

// The length of the valid UTF-8 sequence at text[i], or 0 when there is none.
std::size_t utf8SequenceAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, least = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    char32_t value = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    return value < least || value > 0x10FFFF || surrogate ? 0 : length;
}

QString stringOf(const QJsonObject& object, const char* key) {
    return object.value(QLatin1String(key)).toString();
}

int intOf(const QJsonObject& object, const char* key) {
    const double value = object.value(QLatin1String(key)).toDouble();
    return std::isfinite(value) && std::abs(value) < 1e9 ? static_cast<int>(value) : 0;
}

// A CSV cell: quoted when it holds a separator, a quote or a line end.
QString csvCell(QString text) {
    if (!text.isEmpty() && QStringLiteral("=+-@").contains(text.front())) {
        text.prepend('\'');
    }
    if (!text.contains(QRegularExpression(QStringLiteral("[,\"\r\n]")))) {
        return text;
    }
    return '"' + text.replace('"', QStringLiteral("\"\"")) + '"';
}

}  // namespace

bool hasOutcome(const RunRecord& r) {
    return r.stage.isEmpty();
}

QString listedMessage(const RunRecord& r) {
    return hasOutcome(r) ? r.message : QStringLiteral("ended without an outcome");
}

QString listedReason(const RunRecord& r) {
    if (hasOutcome(r)) {
        return r.reason;
    }
    if (r.stage == QLatin1String(kStageStopped)) {
        return r.reason;
    }
    if (r.stage == QLatin1String(kStageWriting)) {
        return QStringLiteral(
            "no ending was recorded (the run was killed, or is still running) after it began to "
            "change the device's memory: the device may hold part of the program in its loader; "
            "run it again");
    }
    return QStringLiteral(
        "no ending was recorded (the run was killed, or is still running) before it changed "
        "the device");
}

QString listedExit(const RunRecord& r) {
    return hasOutcome(r) ? QString::number(r.exit) : QString();
}

void joinRunLines(std::vector<RunRecord>& records) {
    std::map<QString, std::size_t> first;
    std::vector<RunRecord> joined;
    joined.reserve(records.size());
    for (RunRecord& r : records) {
        if (r.run.isEmpty()) {
            joined.push_back(std::move(r));
            continue;
        }
        const auto [at, isNew] = first.emplace(r.run, joined.size());
        if (isNew) {
            joined.push_back(std::move(r));
            continue;
        }
        RunRecord& earlier = joined[at->second];
        if (r.stage == QLatin1String(kStageStopped)) {
            if (!hasOutcome(earlier)) {
                earlier.stage = r.stage;
                earlier.reason = r.reason;
            }
        } else {
            earlier = std::move(r);
        }
    }
    records = std::move(joined);
}

QByteArray historyLine(const RunRecord& r) {
    QJsonObject device{{"model", r.deviceModel},
                       {"name", r.deviceName},
                       {"version", r.deviceVersion},
                       {"serial", r.deviceSerial}};
    if (!r.deviceVersionAfter.isEmpty()) {
        device.insert("version_after", r.deviceVersionAfter);
    }
    QJsonObject file{{"path", r.filePath},
                     {"name", r.fileName},
                     {"firmware", r.fileFirmware},
                     {"version", r.fileVersion},
                     {"sha256", r.fileSha256}};
    QJsonObject counters;
    for (int i = 0; i < 3; ++i) {
        counters.insert(QLatin1String(kCounterNames[i]), r.counters[i]);
    }
    QJsonObject line{{"time", r.time},
                     {"user", r.user},
                     {"station", r.station},
                     {"front_end", r.frontEnd},
                     {"operation", r.operation},
                     {"link", r.link},
                     {"address", r.address},
                     {"mode", r.mode},
                     {"id", r.id},
                     {"device", device},
                     {"file", file},
                     {"message", r.message},
                     {"exit", r.exit},
                     {"reason", r.reason},
                     {"counters", counters},
                     {"seconds", std::round(r.seconds * 1000.0) / 1000.0}};
    if (!r.run.isEmpty()) {
        line.insert("run", r.run);
    }
    if (!r.stage.isEmpty()) {
        line.remove("exit");
        line.insert("stage", r.stage);
    }
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<RunRecord> parseHistoryLine(QByteArrayView line) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        return std::nullopt;
    }
    const QJsonObject o = doc.object();
    RunRecord r;
    r.run = stringOf(o, "run");
    r.stage = o.value("exit").isDouble() ? QString() : stringOf(o, "stage");
    const bool ended = o.value("exit").isDouble();
    if (!o.value("time").isString() || (!ended && (r.run.isEmpty() || r.stage.isEmpty()))) {
        return std::nullopt;
    }
    r.time = stringOf(o, "time");
    if (!recordTime(r).isValid()) {
        return std::nullopt;
    }
    r.user = stringOf(o, "user");
    r.station = stringOf(o, "station");
    r.frontEnd = stringOf(o, "front_end");
    r.operation = stringOf(o, "operation");
    r.link = stringOf(o, "link");
    r.address = stringOf(o, "address");
    r.mode = stringOf(o, "mode");
    r.id = intOf(o, "id");
    const QJsonObject device = o.value("device").toObject();
    r.deviceModel = stringOf(device, "model");
    r.deviceName = stringOf(device, "name");
    r.deviceVersion = stringOf(device, "version");
    r.deviceSerial = stringOf(device, "serial");
    r.deviceVersionAfter = stringOf(device, "version_after");
    const QJsonObject file = o.value("file").toObject();
    r.filePath = stringOf(file, "path");
    r.fileName = stringOf(file, "name");
    r.fileFirmware = stringOf(file, "firmware");
    r.fileVersion = stringOf(file, "version");
    r.fileSha256 = stringOf(file, "sha256");
    r.message = stringOf(o, "message");
    r.exit = intOf(o, "exit");
    r.reason = stringOf(o, "reason");
    const QJsonObject counters = o.value("counters").toObject();
    for (int i = 0; i < 3; ++i) {
        r.counters[i] = intOf(counters, kCounterNames[i]);
    }
    r.seconds = o.value("seconds").toDouble();
    return r;
}

QDateTime recordTime(const RunRecord& record) {
    return QDateTime::fromString(record.time, Qt::ISODate);
}

QString isoTimeWithOffset(const QDateTime& time) {
    const QDateTime fixed = time.toOffsetFromUtc(time.offsetFromUtc());
    QString text = fixed.toString(Qt::ISODate);
    // Qt writes a zero offset as "Z"; the offset is always written out.
    if (text.endsWith('Z')) {
        text.chop(1);
        text += QStringLiteral("+00:00");
    }
    return text;
}

QString textFromBytes(std::string_view bytes) {
    QString text;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = utf8SequenceAt(bytes, i);
        if (length == 0) {
            text += QChar(static_cast<unsigned char>(bytes[i]));
            ++i;
        } else {
            text += QString::fromUtf8(bytes.data() + i, static_cast<qsizetype>(length));
            i += length;
        }
    }
    return text;
}

QString printableText(const QString& text) {
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            out += QStringLiteral("\\x") + QString::number(u, 16).rightJustified(2, '0').toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray historyCsvHeader() {
    return "time,user,station,front_end,operation,link,address,mode,id,device_model,"
           "device_name,device_version,device_serial,file_path,file_name,file_firmware,"
           "file_version,file_sha256,message,exit,reason,erase_errors,program_errors,"
           "verify_errors,seconds\n";
}

QByteArray historyCsvRow(const RunRecord& r) {
    const QStringList cells = {r.time,
                               r.user,
                               r.station,
                               r.frontEnd,
                               r.operation,
                               r.link,
                               r.address,
                               r.mode,
                               QString::number(r.id),
                               r.deviceModel,
                               r.deviceName,
                               r.deviceVersion,
                               r.deviceSerial,
                               r.filePath,
                               r.fileName,
                               r.fileFirmware,
                               r.fileVersion,
                               r.fileSha256,
                               listedMessage(r),
                               listedExit(r),
                               listedReason(r),
                               QString::number(r.counters[0]),
                               QString::number(r.counters[1]),
                               QString::number(r.counters[2]),
                               QString::number(r.seconds, 'f', 3)};
    QStringList quoted;
    for (const QString& cell : cells) {
        quoted << csvCell(cell);
    }
    return quoted.join(',').toUtf8() + "\n";
}

}  // namespace flashmere
