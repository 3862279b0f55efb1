#include "process_harness.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTimer>

#include <algorithm>

#include "firmware/firmware_writer.h"
#include "tests/support/transcript.h"

namespace flashmere::testing {

QString binDir() {
    const QString fromEnv = qEnvironmentVariable("FLASHMERE_BIN_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(FLASHMERE_BIN_DIR) : fromEnv;
}

ProcessResult runCli(const QStringList& args, const QString& settingsFile, int timeoutMs,
                     const QString& ulimit) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FLASHMERE_SETTINGS_FILE", settingsFile);
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    if (ulimit.isEmpty()) {
        p.start(binDir() + "/flashmere-cli", args);
    } else {
        p.start("/bin/sh", QStringList{"-c", "ulimit " + ulimit + " && exec \"$0\" \"$@\"",
                                       binDir() + "/flashmere-cli"} +
                               args);
    }
    ProcessResult r;
    r.finished = p.waitForStarted(5000) && p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(2000);
    }
    r.elapsedMs = timer.elapsed();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

namespace {

std::optional<int> exitCodeOf(const QProcess& process) {
    if (process.exitStatus() != QProcess::NormalExit) {
        return std::nullopt;
    }
    return process.exitCode();
}

}  // namespace

bool SimProcess::start(const QStringList& endpointAndOptions, int lines) {
    QStringList args = endpointAndOptions;
    if (lines == 1) {
        args << "--dump" << dumpPath() << "--log" << logPath();
    }
    process_.start(binDir() + "/flashmere-devsim", args);
    if (!process_.waitForStarted(5000)) {
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    QByteArray said;
    while (said.count('\n') < lines && timer.elapsed() < 10000) {
        if (!process_.waitForReadyRead(200) && process_.state() != QProcess::Running) {
            return false;
        }
        said += process_.readAllStandardOutput();
    }
    for (const QByteArray& raw : said.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith("listening on ")) {
            endpoints_ << line.mid(13);
        } else if (line.startsWith("serial ")) {
            endpoints_ << line.mid(7);
        }
    }
    endpoint_ = endpoints_.value(0);
    return endpoints_.size() == lines;
}

std::optional<int> SimProcess::stop() {
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
            return std::nullopt;
        }
    }
    return exitCodeOf(process_);
}

std::optional<int> SimProcess::waitForExit(int timeoutMs) {
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(timeoutMs)) {
        return std::nullopt;
    }
    return exitCodeOf(process_);
}

bool waitForTranscriptEvent(const QString& path, const QString& type, int timeoutMs) {
    const auto holdsIt = [&] { return !transcriptEvents(path, type).empty(); };
    if (holdsIt()) {
        return true;
    }
    QFileSystemWatcher watcher;
    watcher.addPath(QFileInfo(path).absolutePath());
    if (QFileInfo::exists(path)) {
        watcher.addPath(path);
    }
    QEventLoop loop;
    const auto check = [&] {
        if (QFileInfo::exists(path) && !watcher.files().contains(path)) {
            watcher.addPath(path);
        }
        if (holdsIt()) {
            loop.quit();
        }
    };
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &loop, check);
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, check);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return holdsIt();
}

namespace {

std::vector<std::uint8_t> readWhole(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = f.readAll();
    return {bytes.begin(), bytes.end()};
}

}  // namespace

std::vector<std::uint8_t> SimProcess::stopAndDump() {
    stop();
    return readWhole(dumpPath());
}

std::vector<std::uint8_t> SimProcess::busDump(int id) const {
    return readWhole(dumpPath() + "/" + QString::number(id) + ".bin");
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject readJson(const QString& path) {
    return QJsonDocument::fromJson(fileBytes(path)).object();
}

QString sha256Of(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly)
               ? QString::fromLatin1(
                     QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex())
               : QString();
}

bool writeText(const QString& path, const QString& text) {
    QFile file(path);
    const QByteArray bytes = text.toUtf8();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QStringList fieldOfRows(const QJsonObject& report, const QString& field) {
    QStringList values;
    for (const QJsonValue& v : report.value("devices").toArray()) {
        values << v.toObject().value(field).toVariant().toString();
    }
    return values;
}

bool holdsImage(std::span<const std::uint8_t> memory, const std::vector<std::uint8_t>& image) {
    return memory.size() >= image.size() && std::equal(image.begin(), image.end(), memory.begin());
}

QString makeFirmware(const QTemporaryDir& dir, const QString& name, std::uint16_t model, int bytes,
                     std::vector<std::uint8_t>* bodyOut) {
    std::vector<std::uint8_t> body(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<std::uint8_t>((i * 13 + i / 256 + 1) & 0xFF);
    }
    const QString path = dir.filePath(name);
    if (!writeFirmwareFile(path.toStdString(), model, "E2E", "V2.0", body).ok) {
        return {};
    }
    if (bodyOut) {
        *bodyOut = body;
    }
    return path;
}

}  // namespace flashmere::testing
