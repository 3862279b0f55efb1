#include "frontend/app_settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <optional>

#include "firmware/durable_file.h"
#include "frontend/message_table.h"
#include "link/serial_backend.h"

namespace flashmere {
namespace {

// A settings file is a few hundred bytes, but it may share its file with
// other keys: up to this size it is read; a larger one is left alone.
constexpr qint64 kMaxStoreBytes = qint64{64} << 20;

// Broken: a file that is there and reads, but not as a store (cut short,
// garbage, far too large). Unreadable: not a file, or one the user may not
// read: left as it is.
enum class StoreState { Missing, Readable, Broken, Unreadable };

// One reader or writer of the file at a time in this process: a device
// operation stores its link from its own thread.
std::mutex storeAccess;

struct StoreContent {
    StoreState state = StoreState::Missing;
    QJsonObject root;
    QString problem;  // why an unreadable store is not used
};

// Why the store at path is not read: not a file, too large, or no access.
QString unreadableProblem(const QFileInfo& info, const QFile& file) {
    if (info.isDir()) {
        return QStringLiteral("is a folder, not a file");
    }
    if (!info.isFile()) {
        return QStringLiteral("is not a regular file (a pipe, a device or a socket)");
    }
    if (info.size() > kMaxStoreBytes) {
        return QStringLiteral("holds %1 bytes, more than the %2 a settings file may have")
            .arg(info.size())
            .arg(kMaxStoreBytes);
    }
    return QStringLiteral("cannot be read: ") + file.errorString();
}

StoreContent readStore(const QString& path) {
    StoreContent content;
    QFileInfo info(path);
    if (!info.exists()) {
        return content;
    }
    content.state = StoreState::Unreadable;
    QFile file(path);
    // Never opened unless a regular file: a pipe would wait for a writer.
    if (!info.isFile() || info.size() > kMaxStoreBytes || !file.open(QIODevice::ReadOnly)) {
        content.problem = unreadableProblem(info, file);
        return content;
    }
    content.state = StoreState::Broken;
    const QByteArray bytes = file.read(kMaxStoreBytes + 1);
    if (bytes.size() > kMaxStoreBytes) {
        return content;  // it grew past the limit while read
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        return content;
    }
    if (doc.object().contains(kSettingsKey) && !doc.object().value(kSettingsKey).isObject()) {
        return content;
    }
    content.state = StoreState::Readable;
    content.root = doc.object();
    return content;
}

// A 32-bit integer value as the store holds it: a JSON number without a
// fraction inside the int32 range.
std::optional<std::int32_t> asInt32(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d ||
        d < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
        d > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(d);
}

bool ownerMayWrite(const QString& path) {
    QFileInfo info(path);
    if (!info.exists()) {
        return true;
    }
    // Checked on the permission bits as well as by access(): a file the user
    // marked read-only stays untouched even for a privileged user, since the
    // atomic replace would otherwise swap it out from under the mark.
    return info.isWritable() && (info.permissions() & QFileDevice::WriteOwner);
}

// "settings.json.damaged-20261208-214500", with "-2", "-3"... when taken.
QString asideName(const QString& path) {
    const QString base =
        path + ".damaged-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QString name = base;
    for (int n = 2; QFileInfo::exists(name) && n < 1000; ++n) {
        name = base + "-" + QString::number(n);
    }
    return name;
}

// Renames a damaged store out of the way, keeping its bytes, and leaves a
// fresh empty one in its place. The new name of the damaged file, or empty
// when it could not be moved (the store then stays as it was).
// Writes the store's bytes whole or leaves the old file as it was (a full
// disk never empties it). A store kept as a symbolic link (a dotfile
// manager's) is written where the link points, as it always was.
bool writeStoreBytes(const QString& path, const QByteArray& bytes) {
    const QFileInfo info(path);
    const QString target =
        info.isSymLink() && !info.canonicalFilePath().isEmpty() ? info.canonicalFilePath() : path;
    return replaceWhole(target.toStdString(), bytes.toStdString()).empty();
}

QString setAside(const QString& path) {
    const QString aside = asideName(path);
    if (!QFile::rename(path, aside)) {
        return {};
    }
    QJsonObject root;
    root.insert(kSettingsKey, QJsonObject());
    writeStoreBytes(path, QJsonDocument(root).toJson(QJsonDocument::Indented));
    return aside;
}

// The store as read, a damaged one set aside first (its new name into
// *aside); call with storeAccess held.
StoreContent readHealing(const QString& path, QString* aside) {
    StoreContent content = readStore(path);
    if (content.state == StoreState::Broken && ownerMayWrite(path)) {
        const QString moved = setAside(path);
        if (!moved.isEmpty()) {
            *aside = moved;
            content = readStore(path);
        }
    }
    return content;
}

// Writes the given values into the key, keeping every other value and key of
// the file. A damaged store is set aside first (its new name into *aside);
// nothing is written over one that cannot be read or is marked read-only.
bool writeValues(const QString& path, const QJsonObject& values, QString* aside) {
    if (path.isEmpty()) {
        return false;
    }
    // One write at a time, so that no read-merge-write loses another's values.
    const std::lock_guard lock(storeAccess);
    StoreContent content = readHealing(path, aside);
    if (content.state == StoreState::Broken || content.state == StoreState::Unreadable ||
        !ownerMayWrite(path)) {
        return false;
    }
    QJsonObject key = content.root.value(kSettingsKey).toObject();
    for (auto it = values.begin(); it != values.end(); ++it) {
        key.insert(it.key(), it.value());
    }
    content.root.insert(kSettingsKey, key);

    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        return false;
    }
    return writeStoreBytes(path, QJsonDocument(content.root).toJson(QJsonDocument::Indented));
}

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

AppSettings::AppSettings(QString storePath)
    : storePath_(storePath.isEmpty() ? defaultStorePath() : std::move(storePath)) {}

QString AppSettings::defaultStorePath() {
    // As the system holds it (UTF-16 on Windows), so any file name works.
    const QString env = qEnvironmentVariable("FLASHMERE_SETTINGS_FILE");
    if (!env.isEmpty()) {
        return env;
    }
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty()) {
        return {};
    }
    return base + QStringLiteral("/Flashmere/settings.json");
}

void AppSettings::loadSettings() {
    const AppSettings defaults(storePath_);
    comPortName = defaults.comPortName;
    comBaudRate = defaults.comBaudRate;
    netIP = defaults.netIP;
    netPort = defaults.netPort;
    languageFlag = defaults.languageFlag;
    languageIndex = kLanguageEnglish;
    linkKind = kLinkCom;
    linkStored = false;
    comPortNameStored = false;
    readBackFolder.clear();
    checkAfterStart = false;

    deviceId.reset();
    recentFirmwareFiles.clear();
    storeProblem.clear();

    if (storePath_.isEmpty()) {
        return;
    }
    const StoreContent content = [this] {
        const std::lock_guard lock(storeAccess);
        return readHealing(storePath_, &damagedStoreSetAside);
    }();
    storeProblem = content.problem;
    if (content.state != StoreState::Readable) {
        return;
    }
    const QJsonValue keyValue = content.root.value(kSettingsKey);
    if (!keyValue.isObject()) {
        return;
    }
    const QJsonObject key = keyValue.toObject();

    // The read-back folder is not one of the link or language values: it is
    // taken whatever the others hold, and ignored when it is not a string.
    if (const QJsonValue folder = key.value(kValueReadBackFolder); folder.isString()) {
        readBackFolder = folder.toString().toStdString();
    }
    readDeviceIdAndRecentFiles(key);
    checkAfterStart = key.value(kValueCheckAfterStart).toBool(false);

    if (key.contains(kValueType)) {
        const auto type = asInt32(key.value(kValueType));
        if (!type) {
            return;
        }
        linkKind = *type != 0 ? kLinkNet : kLinkCom;
    }
    // The string values in their reading order; the first of the wrong type
    // ends the reading.
    std::string* const fields[] = {&comBaudRate, &comPortName, &netIP, &netPort, &languageFlag};
    const char* const names[] = {kValueComBaudRate, kValueComPortName, kValueNetIP, kValueNetPort,
                                 kValueLanguageFlag};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        if (!key.contains(names[i])) {
            continue;
        }
        const QJsonValue value = key.value(names[i]);
        if (!value.isString()) {
            return;
        }
        *fields[i] = value.toString().toStdString();
    }
    languageIndex = languageIndexOf(languageFlag);
    comPortNameStored = key.contains(kValueComPortName);
    linkStored = key.contains(kValueType) &&
                 key.contains(linkKind == kLinkNet ? kValueNetIP : kValueComPortName);
}

bool AppSettings::storeLinkSettings() {
    QJsonObject values;
    values.insert(kValueType, linkKind == kLinkNet ? 1 : 0);
    values.insert(kValueNetPort, qs(netPort));
    values.insert(kValueNetIP, qs(netIP));
    values.insert(kValueComBaudRate, qs(comBaudRate));
    values.insert(kValueComPortName, qs(comPortName));
    if (deviceId) {
        values.insert(kValueDeviceId, *deviceId);
    }
    return writeValues(storePath_, values, &damagedStoreSetAside);
}

bool AppSettings::storeLanguage() {
    QJsonObject values;
    values.insert(kValueLanguageFlag, qs(languageFlag));
    return writeValues(storePath_, values, &damagedStoreSetAside);
}

bool AppSettings::storeReadBackFolder() {
    QJsonObject values;
    values.insert(kValueReadBackFolder, qs(readBackFolder));
    return writeValues(storePath_, values, &damagedStoreSetAside);
}

bool AppSettings::storeRecentFirmwareFiles() {
    QJsonArray files;
    for (const std::string& file : recentFirmwareFiles) {
        files.append(qs(file));
    }
    QJsonObject values;
    values.insert(kValueRecentFirmwareFiles, files);
    return writeValues(storePath_, values, &damagedStoreSetAside);
}

bool AppSettings::storeCheckAfterStart() {
    QJsonObject values;
    values.insert(kValueCheckAfterStart, checkAfterStart);
    return writeValues(storePath_, values, &damagedStoreSetAside);
}

void AppSettings::rememberFirmwareFile(const std::string& path) {
    std::erase(recentFirmwareFiles, path);
    recentFirmwareFiles.insert(recentFirmwareFiles.begin(), path);
    if (recentFirmwareFiles.size() > kRecentFirmwareFileCount) {
        recentFirmwareFiles.resize(kRecentFirmwareFileCount);
    }
}

// Outside the reading order of the link values, like the read-back folder:
// each taken when it holds what it should, else ignored.
void AppSettings::readDeviceIdAndRecentFiles(const QJsonObject& key) {
    if (const auto id = asInt32(key.value(kValueDeviceId)); id && *id >= 0 && *id <= 9999) {
        deviceId = *id;
    }
    for (const QJsonValue file : key.value(kValueRecentFirmwareFiles).toArray()) {
        if (file.isString() && !file.toString().isEmpty() &&
            recentFirmwareFiles.size() < kRecentFirmwareFileCount) {
            std::string path = file.toString().toStdString();
            if (std::find(recentFirmwareFiles.begin(), recentFirmwareFiles.end(), path) ==
                recentFirmwareFiles.end()) {
                recentFirmwareFiles.push_back(std::move(path));
            }
        }
    }
}

void AppSettings::chooseLanguage(int index) {
    if (index < 0 || index >= kLanguageCount) {
        index = kLanguageEnglish;
    }
    languageIndex = index;
    languageFlag = std::string(languageFlagOf(index));
}

LinkSettings AppSettings::linkSettings() const {
    LinkSettings link;
    link.comPortName = comPortName;
    link.comBaudRate = comBaudRate;
    link.netIP = netIP;
    link.netPort = netPort;
    return link;
}

void AppSettings::setLinkSettings(const LinkSettings& link) {
    comPortName = link.comPortName;
    comBaudRate = link.comBaudRate;
    netIP = link.netIP;
    netPort = link.netPort;
}

const std::array<const char*, 18>& baudRateList() {
    static const std::array<const char*, 18> list = {
        "4800,n,8,1",   "4800,e,8,1",   "9600,n,8,1",   "9600,e,8,1",   "19200,n,8,1",
        "19200,e,8,1",  "38400,n,8,1",  "38400,e,8,1",  "57600,n,8,1",  "57600,e,8,1",
        "115200,n,8,1", "115200,e,8,1", "230400,n,8,1", "230400,e,8,1", "460800,n,8,1",
        "460800,e,8,1", "921600,n,8,1", "921600,e,8,1",
    };
    return list;
}

int findEntryIgnoringCase(const QStringList& entries, const QString& text) {
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries[i].compare(text, Qt::CaseInsensitive) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

QStringList fallbackPortList() {
    QStringList names;
    for (const std::string& name : fallbackSerialPortNames()) {
        names << QString::fromStdString(name);
    }
    return names;
}

QStringList portListFrom(const QStringList& platformNames) {
    QStringList names;
    for (const QString& raw : platformNames) {
        // Blanks and control characters around a name are dropped.
        qsizetype begin = 0;
        qsizetype end = raw.size();
        while (begin < end && raw[begin].unicode() <= 0x20) {
            ++begin;
        }
        while (end > begin && raw[end - 1].unicode() <= 0x20) {
            --end;
        }
        if (end > begin) {
            names << raw.mid(begin, end - begin);
        }
    }
    return names.isEmpty() ? fallbackPortList() : names;
}

QStringList fillPortList() {
    QStringList platformNames;
    for (const SerialPortEntry& port : listSerialPorts()) {
        platformNames << QString::fromStdString(port.name);
    }
    return portListFrom(platformNames);
}

}  // namespace flashmere
