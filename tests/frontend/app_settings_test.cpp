#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>
#include <map>
#include <string>

#include "frontend/app_settings.h"
#include "tests/support/small_disk.h"

namespace flashmere {
namespace {

class SettingsStoreTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("conf/settings.json"); }

    void writeRaw(const QByteArray& bytes) {
        QDir().mkpath(dir.filePath("conf"));
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    void writeKey(const QJsonObject& values) {
        QJsonObject root;
        root.insert(kSettingsKey, values);
        writeRaw(QJsonDocument(root).toJson());
    }
    QJsonObject readKey() const {
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object().value(kSettingsKey).toObject();
    }
    AppSettings load() {
        AppSettings settings(path());
        settings.loadSettings();
        return settings;
    }
};

void expectDefaults(const AppSettings& s) {
    EXPECT_EQ(s.linkKind, kLinkCom);
    EXPECT_EQ(s.comPortName, "COM1");
    EXPECT_EQ(s.comBaudRate, "19200,e,8,1");
    EXPECT_EQ(s.netIP, "192.168.1.101");
    EXPECT_EQ(s.netPort, "5003");
    EXPECT_EQ(s.languageFlag, "English");
    EXPECT_EQ(s.languageIndex, 0);
}

TEST_F(SettingsStoreTest, NoStoreGivesDefaultsAndCreatesNothing) {
    expectDefaults(load());
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(SettingsStoreTest, BrokenStoresGiveDefaults) {
    const QByteArray broken[] = {"{not json", "[1,2,3]", "",
                                 "{\"\\\\Software\\\\TOLVA\\\\Flashmere\": 5}",
                                 QByteArray(4096, '\xff')};
    for (const QByteArray& bytes : broken) {
        writeRaw(bytes);
        expectDefaults(load());
    }
}

TEST_F(SettingsStoreTest, TypeSevenMeansNetAndIsStoredBackAsOne) {
    writeKey({{kValueType, 7}});
    AppSettings s = load();
    EXPECT_EQ(s.linkKind, kLinkNet);
    ASSERT_TRUE(s.storeLinkSettings());
    EXPECT_EQ(readKey().value(kValueType).toInt(-1), 1);
    EXPECT_TRUE(readKey().value(kValueType).isDouble());
}

TEST_F(SettingsStoreTest, WrongTypeStopsTheReadingThere) {
    // TYPE first: nothing at all is read.
    writeKey(
        {{kValueType, "1"}, {kValueComPortName, "ttyUSB3"}, {kValueLanguageFlag, "ChineseGB"}});
    expectDefaults(load());
    // TYPE 1.5 is no integer either.
    writeKey({{kValueType, 1.5}, {kValueNetIP, "10.0.0.1"}});
    expectDefaults(load());
    // A number in NetIP: TYPE, ComBaudRate, ComPortName read; the rest default.
    writeKey({{kValueType, 1},
              {kValueComBaudRate, "9600,n,8,1"},
              {kValueComPortName, "ttyUSB3"},
              {kValueNetIP, 10},
              {kValueNetPort, "7000"},
              {kValueLanguageFlag, "ChineseBIG5"}});
    const AppSettings s = load();
    EXPECT_EQ(s.linkKind, kLinkNet);
    EXPECT_EQ(s.comBaudRate, "9600,n,8,1");
    EXPECT_EQ(s.comPortName, "ttyUSB3");
    EXPECT_EQ(s.netIP, "192.168.1.101");
    EXPECT_EQ(s.netPort, "5003");
    EXPECT_EQ(s.languageFlag, "English");
}

TEST_F(SettingsStoreTest, UnknownLanguageTextStaysButMeansEnglish) {
    writeKey({{kValueLanguageFlag, "chinesegb"}});
    const AppSettings s = load();
    EXPECT_EQ(s.languageFlag, "chinesegb");
    EXPECT_EQ(s.languageIndex, 0);
}

TEST_F(SettingsStoreTest, StoreLinkSettingsWritesAllFourAndKeepsTheLanguage) {
    writeKey({{kValueLanguageFlag, "ChineseGB"}, {kValueComPortName, "ttyS1"}});
    AppSettings s = load();
    s.linkKind = kLinkNet;
    s.netIP = "127.0.0.1";
    s.netPort = "6001";
    ASSERT_TRUE(s.storeLinkSettings());
    const QJsonObject key = readKey();
    EXPECT_EQ(key.value(kValueType).toInt(-1), 1);
    EXPECT_EQ(key.value(kValueNetIP).toString(), "127.0.0.1");
    EXPECT_EQ(key.value(kValueNetPort).toString(), "6001");
    EXPECT_EQ(key.value(kValueComPortName).toString(), "ttyS1");
    EXPECT_EQ(key.value(kValueComBaudRate).toString(), "19200,e,8,1");
    EXPECT_EQ(key.value(kValueLanguageFlag).toString(), "ChineseGB");
    EXPECT_FALSE(key.contains("TYPE ")) << "no stray names";
}

TEST_F(SettingsStoreTest, ReadBackFolderIsReadOnItsOwnAndKeptByOtherStores) {
    // Read even when an earlier value stops the link values; a wrong type
    // leaves it empty without stopping anything.
    writeKey({{kValueType, "1"}, {kValueReadBackFolder, "/srv/dumps"}});
    AppSettings s = load();
    EXPECT_EQ(s.readBackFolder, "/srv/dumps");
    EXPECT_EQ(s.linkKind, kLinkCom);
    writeKey({{kValueReadBackFolder, 5}, {kValueNetIP, "10.0.0.9"}});
    s = load();
    EXPECT_EQ(s.readBackFolder, "");
    EXPECT_EQ(s.netIP, "10.0.0.9");

    writeKey({{kValueLanguageFlag, "ChineseGB"}});
    s = load();
    s.readBackFolder = "/tmp/out dir";
    ASSERT_TRUE(s.storeReadBackFolder());
    ASSERT_TRUE(s.storeLinkSettings());
    EXPECT_EQ(readKey().value(kValueReadBackFolder).toString(), "/tmp/out dir");
    EXPECT_EQ(readKey().value(kValueLanguageFlag).toString(), "ChineseGB");
    EXPECT_EQ(load().readBackFolder, "/tmp/out dir");
}

// A store cut short or full of garbage would stop all saving: it is set
// aside whole, under a name with the time, and a fresh one takes its place.
TEST_F(SettingsStoreTest, DamagedStoreIsSetAsideAndSavingGoesOn) {
    for (const QByteArray& damaged :
         {QByteArray("{\"\\\\Software\\\\TOLVA\\\\Flashmere\": {\"NetP"),
          QByteArray(300, '\xC3')}) {
        writeRaw(damaged);
        AppSettings s = load();
        expectDefaults(s);
        ASSERT_FALSE(s.damagedStoreSetAside.isEmpty());
        EXPECT_TRUE(
            QFileInfo(s.damagedStoreSetAside).fileName().startsWith("settings.json.damaged-"))
            << s.damagedStoreSetAside.toStdString();
        QFile aside(s.damagedStoreSetAside);
        ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
        EXPECT_EQ(aside.readAll(), damaged);
        s.chooseLanguage(2);
        EXPECT_TRUE(s.storeLanguage());
        EXPECT_EQ(load().languageIndex, 2);
        EXPECT_TRUE(load().damagedStoreSetAside.isEmpty());  // told once
    }
    // Damaged while running: the next store sets it aside too.
    AppSettings running = load();
    writeRaw("{broken");
    running.deviceId = 12;
    EXPECT_TRUE(running.storeLinkSettings());
    EXPECT_FALSE(running.damagedStoreSetAside.isEmpty());
    EXPECT_EQ(load().deviceId, std::optional<int>(12));
}

// A large store that reads (other keys share the file) is used; one too
// large, or a folder in its place, is left as it is and said why, never set
// aside as damaged.
TEST_F(SettingsStoreTest, LargeStoreIsReadAndOneThatCannotBeIsNamedNotSetAside) {
    QJsonObject root;
    root.insert(kSettingsKey, QJsonObject{{kValueLanguageFlag, "ChineseBIG5"}});
    QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Compact);
    bytes.chop(1);  // the closing brace: 50 MB of another key go before it
    writeRaw(bytes + ",\"Other\":\"" + QByteArray(50 << 20, 'x') + "\"}");
    AppSettings large = load();
    EXPECT_EQ(large.languageIndex, 2);
    EXPECT_TRUE(large.damagedStoreSetAside.isEmpty());
    EXPECT_TRUE(large.storeProblem.isEmpty());

    ASSERT_TRUE(QFile::resize(path(), qint64{65} << 20));
    AppSettings tooLarge = load();
    expectDefaults(tooLarge);
    EXPECT_TRUE(tooLarge.damagedStoreSetAside.isEmpty());
    EXPECT_TRUE(tooLarge.storeProblem.startsWith("holds 68157440 bytes"))
        << tooLarge.storeProblem.toStdString();
    EXPECT_EQ(QFileInfo(path()).size(), qint64{65} << 20);

    ASSERT_TRUE(QFile::remove(path()));
    ASSERT_TRUE(QDir().mkpath(path()));
    AppSettings folder = load();
    expectDefaults(folder);
    EXPECT_EQ(folder.storeProblem, QString("is a folder, not a file"));
    EXPECT_FALSE(folder.storeLanguage());
    EXPECT_TRUE(QFileInfo(path()).isDir());
    EXPECT_EQ(QDir(path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 0);
}

TEST_F(SettingsStoreTest, ReadOnlyStoreIsLeftAlone) {
    writeKey({{kValueLanguageFlag, "English"}});
    const QByteArray before = [&] {
        QFile f(path());
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    ASSERT_TRUE(QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    AppSettings s(path());
    s.chooseLanguage(2);
    EXPECT_FALSE(s.storeLanguage());
    QFile again(path());
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), before);
    // Reading a read-only store still works.
    EXPECT_EQ(load().languageFlag, "English");
}

// The ID and the recent files are untrusted values: taken only in range and
// as strings, at most eight, no repeats.
TEST_F(SettingsStoreTest, DeviceIdAndRecentFilesReadOnlyWhenSound) {
    QJsonArray files{"/a.TVB", 7, "/b.TVB", "/a.TVB"};
    for (int i = 0; i < 10; ++i) {
        files.append(QString("/f%1.TVB").arg(i));
    }
    writeKey({{kValueDeviceId, 10000}, {kValueRecentFirmwareFiles, files}});
    AppSettings s = load();
    EXPECT_FALSE(s.deviceId.has_value());
    ASSERT_EQ(s.recentFirmwareFiles.size(), kRecentFirmwareFileCount);
    EXPECT_EQ(s.recentFirmwareFiles[0], "/a.TVB");
    EXPECT_EQ(s.recentFirmwareFiles[1], "/b.TVB");
    s.rememberFirmwareFile("/b.TVB");
    EXPECT_EQ(s.recentFirmwareFiles[0], "/b.TVB");
    EXPECT_EQ(s.recentFirmwareFiles[1], "/a.TVB");
    EXPECT_TRUE(s.storeRecentFirmwareFiles());
    EXPECT_EQ(load().recentFirmwareFiles, s.recentFirmwareFiles);
}

TEST_F(SettingsStoreTest, EnvironmentNamesTheStore) {
    qputenv("FLASHMERE_SETTINGS_FILE", path().toLocal8Bit());
    EXPECT_EQ(AppSettings().storePath(), path());
    qunsetenv("FLASHMERE_SETTINGS_FILE");
    EXPECT_TRUE(AppSettings::defaultStorePath().endsWith("/Flashmere/settings.json"));
}

std::map<std::string, std::string> probe(const QString& storePath) {
    // The probe is built next to this test.
    QByteArray bin = qgetenv("FLASHMERE_BIN_DIR");
    if (bin.isEmpty()) {
        bin = QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath().toLocal8Bit();
    }
    const std::string command =
        bin.toStdString() + "/frontend_settings_probe '" + storePath.toStdString() + "'";
    std::map<std::string, std::string> values;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return values;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        const auto eq = text.find('=');
        if (eq != std::string::npos) {
            values[text.substr(0, eq)] = text.substr(eq + 1);
        }
    }
    pclose(pipe);
    return values;
}

TEST_F(SettingsStoreTest, RoundTripReadInAnotherProcessKeepsTypes) {
    AppSettings s(path());
    s.linkKind = kLinkNet;
    s.comPortName = "ttyUSB0";
    s.comBaudRate = "115200,n,8,1";
    s.netIP = "127.0.0.1";
    s.netPort = "5003";
    ASSERT_TRUE(s.storeLinkSettings());
    s.chooseLanguage(2);
    ASSERT_TRUE(s.storeLanguage());

    const auto values = probe(path());
    ASSERT_FALSE(values.empty()) << "probe did not run";
    // Had TYPE come back as a string, the child would have read nothing.
    EXPECT_EQ(values.at("linkKind"), "1");
    EXPECT_EQ(values.at("ComPortName"), "ttyUSB0");
    EXPECT_EQ(values.at("ComBaudRate"), "115200,n,8,1");
    EXPECT_EQ(values.at("NetIP"), "127.0.0.1");
    EXPECT_EQ(values.at("NetPort"), "5003");
    EXPECT_EQ(values.at("LanguageFlag"), "ChineseBIG5");
    EXPECT_EQ(values.at("languageIndex"), "2");
}

// A full disk: the store is not written and the file stays whole (it used to
// be renamed over by an empty one). A store kept as a link is still written
// where the link points, as before.
TEST(SettingsStoreWrite, AFullDiskLeavesTheStoreWholeAndALinkIsWrittenThrough) {
    testing::SmallDisk disk(64);
    if (!disk.mounted()) {
        GTEST_SKIP() << disk.why();
    }
    AppSettings s(disk.filePath("settings.json"));
    s.loadSettings();
    s.linkKind = kLinkNet;
    s.netIP = "127.0.0.1";
    ASSERT_TRUE(s.storeLinkSettings());
    QFile file(disk.filePath("settings.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    disk.fill();
    s.netIP = "127.0.0.2";
    EXPECT_FALSE(s.storeLinkSettings());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
    file.close();

    QTemporaryDir dir;
    ASSERT_TRUE(QFile::copy(disk.filePath("settings.json"), dir.filePath("real.json")));
    ASSERT_TRUE(QFile::link(dir.filePath("real.json"), dir.filePath("settings.json")));
    AppSettings linked(dir.filePath("settings.json"));
    linked.loadSettings();
    linked.netPort = "6001";
    ASSERT_TRUE(linked.storeLinkSettings());
    EXPECT_TRUE(QFileInfo(dir.filePath("settings.json")).isSymLink());
    QFile real(dir.filePath("real.json"));
    ASSERT_TRUE(real.open(QIODevice::ReadOnly));
    EXPECT_TRUE(real.readAll().contains("6001"));
}

TEST(PortList, TrimsNamesAndFallsBack) {
    EXPECT_EQ(portListFrom({" ttyS3\t", "", "ttyUSB0", "ttyUSB0"}),
              (QStringList{"ttyS3", "ttyUSB0", "ttyUSB0"}));
    const QStringList fallback = portListFrom({"  ", "\n"});
    ASSERT_EQ(fallback.size(), 16);
    EXPECT_EQ(fallback.front(), "ttyS0");
    EXPECT_EQ(fallback.back(), "ttyUSB7");
}

TEST(PortList, CaseInsensitiveLookup) {
    const QStringList entries{"ttyS0", "TTYUSB1"};
    EXPECT_EQ(findEntryIgnoringCase(entries, "ttyusb1"), 1);
    EXPECT_EQ(findEntryIgnoringCase(entries, "ttyUSB2"), -1);
    EXPECT_EQ(baudRateList()[kBaudRate19200Even], std::string("19200,e,8,1"));
    EXPECT_EQ(baudRateList()[kBaudRate115200None], std::string("115200,n,8,1"));
}

}  // namespace
}  // namespace flashmere
