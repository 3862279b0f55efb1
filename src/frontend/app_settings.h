#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/link_channel.h"

namespace flashmere {

// Where the settings live: the key path and the value names, as on the
// registry, kept with their types (integers stay integers).
inline constexpr const char* kSettingsKey = "\\Software\\TOLVA\\Flashmere";
inline constexpr const char* kValueType = "TYPE";
inline constexpr const char* kValueComBaudRate = "ComBaudRate";
inline constexpr const char* kValueComPortName = "ComPortName";
inline constexpr const char* kValueNetIP = "NetIP";
inline constexpr const char* kValueNetPort = "NetPort";
inline constexpr const char* kValueLanguageFlag = "LanguageFlag";
// The folder the read-back service last wrote its files into.
inline constexpr const char* kValueReadBackFolder = "ReadBackFolder";
// The device ID of the last link a device answered on (0..9999).
inline constexpr const char* kValueDeviceId = "DeviceID";
// The firmware files chosen last, newest first (at most 8 paths).
inline constexpr const char* kValueRecentFirmwareFiles = "RecentFirmwareFiles";
inline constexpr std::size_t kRecentFirmwareFileCount = 8;
// The window's "Check after start" box (a bool; absent: off).
inline constexpr const char* kValueCheckAfterStart = "CheckAfterStart";

// The process's settings: how to reach the device and the language.
//
// The store is a JSON file (default: <config>/Flashmere/settings.json, or the
// file named by FLASHMERE_SETTINGS_FILE, or the path given here) holding one
// object under the key path with the named values. Reading never creates a
// missing one; writing replaces it atomically. A damaged store (cut short,
// garbage) is renamed aside with the time in its name and a fresh one
// written, so that saving goes on; damagedStoreSetAside then names it, for
// the operator to be told once. A store the user may not read or write is
// left alone: it reads as defaults and stores nothing.
class AppSettings {
  public:
    explicit AppSettings(QString storePath = {});

    std::string comPortName = "COM1";
    std::string comBaudRate = "19200,e,8,1";
    std::string netIP = "192.168.1.101";
    std::string netPort = "5003";
    std::string languageFlag = "English";
    int languageIndex = 0;
    // From TYPE: non-zero means NET.
    std::uint8_t linkKind = kLinkCom;
    // True when the store holds a link (TYPE and the address of that link,
    // written once a device answered on it), false when the values above
    // are only the defaults.
    bool linkStored = false;
    // True when the store holds ComPortName: a port a device answered on.
    bool comPortNameStored = false;
    // ReadBackFolder: where the read-back's folder dialog starts; empty until
    // the operator chose a folder once.
    std::string readBackFolder;
    // DeviceID: stored with the link when set; empty when never stored.
    std::optional<int> deviceId;
    // RecentFirmwareFiles, newest first, as UTF-8 paths.
    std::vector<std::string> recentFirmwareFiles;
    // CheckAfterStart: the window's box, off unless stored on.
    bool checkAfterStart = false;
    // Where a damaged store was moved by the last load or store; empty when
    // none was.
    QString damagedStoreSetAside;
    // Why the last load did not read the store (a folder, a pipe, a file
    // too large, no permission), to tell the user: the store is left as it
    // is, the defaults stand and nothing is stored. Empty when read or
    // missing.
    QString storeProblem;

    // Defaults, then every value present in the store, in the order TYPE,
    // ComBaudRate, ComPortName, NetIP, NetPort, LanguageFlag. A value of the
    // wrong type stops the reading there; what was read before it stays.
    // ReadBackFolder, DeviceID, RecentFirmwareFiles and CheckAfterStart are
    // read on their own: a wrong type leaves them empty (off).
    void loadSettings();

    // Writes TYPE (1 for NET, else 0), NetPort, NetIP, ComBaudRate and
    // ComPortName, and DeviceID when set. False when nothing could be stored. The store* calls may
    // come from any thread: writes of the file are serialized.
    bool storeLinkSettings();
    // Writes LanguageFlag. False when nothing could be stored.
    bool storeLanguage();
    // Writes ReadBackFolder. False when nothing could be stored.
    bool storeReadBackFolder();
    // Writes RecentFirmwareFiles. False when nothing could be stored.
    bool storeRecentFirmwareFiles();
    // Writes CheckAfterStart. False when nothing could be stored.
    bool storeCheckAfterStart();
    // Puts path first in the recent files, once, keeping at most 8.
    void rememberFirmwareFile(const std::string& path);

    // The language menu: index 0..2 with its stored name.
    void chooseLanguage(int index);

    LinkSettings linkSettings() const;
    void setLinkSettings(const LinkSettings& link);

    const QString& storePath() const { return storePath_; }
    // The file used when none is given: FLASHMERE_SETTINGS_FILE, else the
    // user's configuration directory.
    static QString defaultStorePath();

  private:
    void readDeviceIdAndRecentFiles(const QJsonObject& key);

    QString storePath_;
};

// The 18 serial settings strings of the speed list, in list order.
const std::array<const char*, 18>& baudRateList();
constexpr int kBaudRate19200Even = 5;    // "19200,e,8,1"
constexpr int kBaudRate115200None = 10;  // "115200,n,8,1"

// Index of the first entry equal to text, letters compared without regard to
// case; -1 when none.
int findEntryIgnoringCase(const QStringList& entries, const QString& text);

// The serial ports of the machine (names such as ttyS0, ttyUSB0), each
// trimmed; the fallback list when the machine lists none.
QStringList fillPortList();
// Builds the list from the platform's names: trimmed, empty names dropped,
// order and duplicates kept; the fallback list when nothing is left.
QStringList portListFrom(const QStringList& platformNames);
// Sixteen names, as the machine would number its first serial ports:
// ttyS0..ttyS7 and ttyUSB0..ttyUSB7 on Linux, COM1..COM16 on Windows.
QStringList fallbackPortList();

}  // namespace flashmere
