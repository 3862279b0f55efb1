// Every text the operator or a file can hand the tool, tried: option values
// of flashmere-cli through the real binary, firmware files that are empty,
// cut short, huge, folders, unreadable or gone by the time of the upgrade,
// and settings stores that are broken, mistyped, unreadable or read-only.
// Each gives a clear message or the tool's documented rule, and nothing is
// lost.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "frontend/app_settings.h"
#include "link/virtual_clock.h"
#include "sim_device.h"
#include "sim_transport.h"
#include "tests/support/process_harness.h"
#include "tests/support/recording_panel.h"
#include "upgrade/upgrade_run.h"

namespace flashmere::reliability {
namespace {

using testing::makeFirmware;
using testing::ProcessResult;
using testing::runCli;

namespace fs = std::filesystem;

const std::string kLong(5000, '7');
const std::string kLongName(5000, 'x');

struct OptionCase {
    const char* what;
    QStringList args;                // after "upgrade FILE"
    int exitCode;                    // 2: refused with a message before anything is opened
    const char* lastLine = nullptr;  // for device outcomes: the last stdout line
};

void PrintTo(const OptionCase& c, std::ostream* os) {
    *os << c.what;
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// A port that nothing listens on: the connection is refused at once.
const QString kDeadNet = "127.0.0.1:1";

class CliOptionInput : public ::testing::TestWithParam<OptionCase> {};

TEST_P(CliOptionInput, IsRefusedWithOneLineOrFollowsTheRule) {
    const OptionCase& c = GetParam();
    QTemporaryDir dir;
    const QString file = makeFirmware(dir, "fw.TVB", 0x8401, 256);
    const QString settings = dir.filePath("settings.json");
    const ProcessResult r = runCli(QStringList{"upgrade", file} + c.args, settings, 20000);
    ASSERT_TRUE(r.finished) << "flashmere-cli hung";
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out.toStdString() << r.err.toStdString();
    if (c.exitCode == 2) {
        EXPECT_TRUE(r.err.startsWith("flashmere-cli: ")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << "something ran: " << r.out.toStdString();
    }
    if (c.lastLine) {
        ASSERT_FALSE(r.lines().isEmpty());
        EXPECT_EQ(r.lines().last(), c.lastLine);
    }
    // Nothing stored from a refused or failed run.
    EXPECT_FALSE(QFile::exists(settings));
}

INSTANTIATE_TEST_SUITE_P(
    Options, CliOptionInput,
    ::testing::Values(
        // The device ID: 0 to 9999.
        OptionCase{"id_empty", {"--net", kDeadNet, "--id", ""}, 2},
        OptionCase{"id_negative", {"--net", kDeadNet, "--id", "-1"}, 2},
        OptionCase{"id_out_of_range", {"--net", kDeadNet, "--id", "10000"}, 2},
        OptionCase{"id_non_numeric", {"--net", kDeadNet, "--id", "abc"}, 2},
        OptionCase{"id_trailing_letters", {"--net", kDeadNet, "--id", "12ab"}, 2},
        OptionCase{"id_fraction", {"--net", kDeadNet, "--id", "3.5"}, 2},
        OptionCase{"id_very_long", {"--net", kDeadNet, "--id", q(kLong)}, 2},
        OptionCase{"id_non_ascii_digits", {"--net", kDeadNet, "--id", "１２"}, 2},
        // The PIN: 1 to 4 hexadecimal digits; nothing else is sent as PIN 0.
        OptionCase{"pin_too_long", {"--net", kDeadNet, "--pin", "12345"}, 2},
        OptionCase{"pin_very_long", {"--net", kDeadNet, "--pin", q(kLong)}, 2},
        OptionCase{"pin_non_ascii_long", {"--net", kDeadNet, "--pin", "пароль"}, 2},
        OptionCase{"pin_empty", {"--net", kDeadNet, "--pin", ""}, 2},
        OptionCase{"pin_non_hex", {"--net", kDeadNet, "--pin", "zz"}, 2},
        OptionCase{"pin_signed", {"--net", kDeadNet, "--pin", "-1"}, 2},
        // No link option and no stored link: nothing to fall back on.
        OptionCase{"no_link", {}, 2},
        // The TCP address and port.
        OptionCase{"net_empty", {"--net", ""}, 2},
        OptionCase{"net_port_empty", {"--net", "127.0.0.1:"}, 2},
        OptionCase{"net_host_empty", {"--net", ":5003"}, 2},
        OptionCase{"net_port_zero", {"--net", "127.0.0.1:0"}, 2},
        OptionCase{"net_port_negative", {"--net", "127.0.0.1:-5003"}, 2},
        OptionCase{"net_port_out_of_range", {"--net", "127.0.0.1:65536"}, 2},
        OptionCase{"net_port_non_numeric", {"--net", "127.0.0.1:http"}, 2},
        OptionCase{"net_port_very_long", {"--net", "127.0.0.1:" + q(kLong)}, 2},
        OptionCase{"net_port_non_ascii", {"--net", "127.0.0.1:５００３"}, 2},
        // Host names the command line cannot judge go to the link, in
        // process: a program would ask the system's resolver
        // (CliUpgrade.HostNamesGoToTheLinkAsTypedAndEndWithItsFailure).
        // The serial port name and its settings string.
        OptionCase{"com_empty", {"--com", ""}, 2},
        OptionCase{
            "com_missing_port_rule", {"--com", "ttyNOSUCH9"}, 10, "Open communication port error!"},
        OptionCase{
            "com_very_long_rule", {"--com", q(kLongName)}, 10, "Open communication port error!"},
        OptionCase{
            "com_non_ascii_rule", {"--com", "ttyÜSB0"}, 10, "Open communication port error!"},
        OptionCase{
            "com_not_a_port_rule", {"--com", "/dev/null"}, 10, "Open communication port error!"},
        OptionCase{"mode_empty", {"--com", "ttyNOSUCH9", "--mode", ""}, 2},
        OptionCase{"mode_non_numeric", {"--com", "ttyNOSUCH9", "--mode", "fast"}, 2},
        OptionCase{"mode_negative_baud", {"--com", "ttyNOSUCH9", "--mode", "-19200,e,8,1"}, 2},
        OptionCase{"mode_zero_baud", {"--com", "ttyNOSUCH9", "--mode", "0,e,8,1"}, 2},
        OptionCase{
            "mode_baud_out_of_range", {"--com", "ttyNOSUCH9", "--mode", "99999999,e,8,1"}, 2},
        OptionCase{"mode_bad_parity", {"--com", "ttyNOSUCH9", "--mode", "19200,x,8,1"}, 2},
        OptionCase{"mode_bad_data_bits", {"--com", "ttyNOSUCH9", "--mode", "19200,e,9,1"}, 2},
        OptionCase{"mode_very_long", {"--com", "ttyNOSUCH9", "--mode", q(kLong)}, 2},
        OptionCase{"mode_non_ascii", {"--com", "ttyNOSUCH9", "--mode", "１９２００,e,8,1"}, 2},
        OptionCase{"lang_unknown", {"--net", kDeadNet, "--lang", "fr"}, 2},
        OptionCase{"lang_empty", {"--net", kDeadNet, "--lang", ""}, 2}),
    [](const auto& param) { return std::string(param.param.what); });

// ---------------------------------------------------------------- files

struct FileCase {
    const char* what;
    // Builds the path to hand the tool inside dir.
    std::function<QString(const QTemporaryDir&)> make;
    int exitCode;
    const char* messagePart;  // in the one stderr line
    bool skipAsRoot = false;  // file permissions do not stop root
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.what;
}

QString writeBytes(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return f.fileName();
}

QByteArray fileBytes(const QString& path) {
    if (!QFileInfo(path).isFile()) {
        return {};  // a FIFO would wait for a writer
    }
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class CliFileInput : public ::testing::TestWithParam<FileCase> {};

TEST_P(CliFileInput, GivesAClearMessageAndSendsNothing) {
    const FileCase& c = GetParam();
    if (c.skipAsRoot && ::geteuid() == 0) {
        GTEST_SKIP() << "root reads any file";
    }
    QTemporaryDir dir;
    const QString path = c.make(dir);
    const QByteArray before = fileBytes(path);
    // A port nothing listens on: a run that got past the file would fail
    // with a device message instead of the file message.
    const ProcessResult r =
        runCli({"upgrade", path, "--net", kDeadNet}, dir.filePath("settings.json"), 20000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString() << r.out.toStdString();
    EXPECT_TRUE(r.err.startsWith("flashmere-cli: ")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(c.messagePart)) << r.err.toStdString();
    EXPECT_EQ(r.err.count('\n'), 1);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    EXPECT_EQ(fileBytes(path), before) << "the tool changed the file";
}

INSTANTIATE_TEST_SUITE_P(
    Files, CliFileInput,
    ::testing::Values(
        FileCase{"empty", [](const QTemporaryDir& d) { return writeBytes(d, "e.TVB", {}); }, 4,
                 "Firmware file type error!"},
        FileCase{"truncated_header",
                 [](const QTemporaryDir& d) {
                     const QString good = makeFirmware(d, "g.TVB", 0x8401, 512);
                     return writeBytes(d, "t.TVB", fileBytes(good).left(17));
                 },
                 4, "Firmware file type error!"},
        FileCase{
            "not_a_firmware_file",
            [](const QTemporaryDir& d) { return writeBytes(d, "j.TVB", QByteArray(4096, '\x5A')); },
            4, "Firmware file type error!"},
        FileCase{"missing", [](const QTemporaryDir& d) { return d.filePath("none.TVB"); }, 3,
                 "no such file"},
        FileCase{"directory",
                 [](const QTemporaryDir& d) {
                     fs::create_directory(d.filePath("dir.TVB").toStdString());
                     return d.filePath("dir.TVB");
                 },
                 3, "is a folder"},
        FileCase{"below_a_file",
                 [](const QTemporaryDir& d) {
                     return makeFirmware(d, "f.TVB", 0x8401, 256) + "/inner.TVB";
                 },
                 3, "cannot open"},
        FileCase{"dangling_link",
                 [](const QTemporaryDir& d) {
                     fs::create_symlink(d.filePath("gone.TVB").toStdString(),
                                        d.filePath("link.TVB").toStdString());
                     return d.filePath("link.TVB");
                 },
                 3, "cannot open"},
        FileCase{"fifo",
                 [](const QTemporaryDir& d) {
                     const QString p = d.filePath("fifo.TVB");
                     ::mkfifo(p.toStdString().c_str(), 0600);
                     return p;
                 },
                 3, "is a FIFO"},
        FileCase{"unreadable",
                 [](const QTemporaryDir& d) {
                     const QString p = makeFirmware(d, "u.TVB", 0x8401, 256);
                     fs::permissions(p.toStdString(), fs::perms::none);
                     return p;
                 },
                 3, "cannot open", true}),
    [](const auto& param) { return std::string(param.param.what); });

// Files that change between selection and upgrade, and one far larger than
// the device: run in-process against the simulated device.
class FileDuringRun : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    FirmwareImage image;
    SimConfig config;
    std::unique_ptr<SimDevice> device;
    VirtualClock clock;
    testing::RecordingPanel panel;

    QString select(std::uint16_t model, int bytes, std::vector<std::uint8_t>* body = nullptr) {
        const QString path = makeFirmware(dir, "fw.TVB", model, bytes, body);
        EXPECT_TRUE(selectFirmwareFile(path.toStdString(), image).accepted);
        return path;
    }

    MessageRow run(std::uint16_t model) {
        config.model = model;
        config.id = 0;
        device = std::make_unique<SimDevice>(config);
        panel.options.linkKind = kLinkNet;
        SimTransportFactory factory(*device, clock);
        DeviceRunContext context{panel, factory, clock, image};
        const MessageRow outcome = upgradeDevice(context).message;
        EXPECT_EQ(factory.openNow(), 0) << "link left open";
        return outcome;
    }

    std::vector<std::uint8_t> memoryBefore(std::uint16_t model) {
        SimConfig c;
        c.model = model;
        const SimDevice fresh(c);
        return {fresh.memory().begin(), fresh.memory().end()};
    }
};

TEST_F(FileDuringRun, DeletedAfterSelectionEndsWithTheLoadMessageAndWritesNothing) {
    const QString path = select(0x8401, 4 * 256);
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(run(0x8401), MessageRow::msgLoadFileError);
    EXPECT_EQ(device->pagesProgrammed(), 0U);
    const auto before = memoryBefore(0x8401);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), device->memory().begin()));
}

TEST_F(FileDuringRun, ReplacedByAFolderAfterSelectionEndsWithTheLoadMessage) {
    const QString path = select(0x8401, 2 * 256);
    ASSERT_TRUE(QFile::remove(path));
    fs::create_directory(path.toStdString());
    EXPECT_EQ(run(0x8401), MessageRow::msgLoadFileError);
    EXPECT_EQ(device->pagesProgrammed(), 0U);
}

// Cut after selection, its header kept: not the program chosen, so nothing
// is erased or written and the run says what changed.
TEST_F(FileDuringRun, ShortenedAfterSelectionIsRefusedAndNothingIsErased) {
    const QString path = select(0x8201, 6 * 256);
    ASSERT_TRUE(QFile::resize(path, 32 + 2 * 256 + 10));
    EXPECT_EQ(run(0x8201), MessageRow::msgLoadFileError);
    EXPECT_NE(panel.reason.find("holds 554 bytes now and held 1568 bytes"), std::string::npos)
        << panel.reason;
    EXPECT_EQ(device->blocksErased(), 0U);
    EXPECT_EQ(device->pagesProgrammed(), 0U);
}

// Cut below its header or to the header alone after selection: no page is
// written and the run says why.
TEST_F(FileDuringRun, CutBelowItsHeaderAfterSelectionWritesNothing) {
    for (const qint64 size : {10, 32}) {
        const QString path = select(0x8201, 4 * 256);
        ASSERT_TRUE(QFile::resize(path, size));
        EXPECT_EQ(run(0x8201), MessageRow::msgLoadFileError) << size;
        EXPECT_FALSE(panel.reason.empty()) << size;
        EXPECT_EQ(device->pagesProgrammed(), 0U) << size;
    }
}

TEST_F(FileDuringRun, AHugeBodyIsRefusedAndNothingIsErased) {
    // 8 MiB for a model that holds 128 pages of 256 bytes: the device would
    // be started on the first 32 KiB of a longer program.
    select(0x8401, 8 << 20);
    EXPECT_EQ(run(0x8401), MessageRow::msgLoadFileError);
    EXPECT_NE(panel.reason.find("more than the 32768 bytes"), std::string::npos) << panel.reason;
    EXPECT_EQ(device->pagesProgrammed(), 0U);
    const auto before = memoryBefore(0x8401);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), device->memory().begin()));
}

// Blank bytes past the device's 32768: left out with a note, and the 128
// pages that fit are written.
TEST_F(FileDuringRun, ABlankTailPastThePageLimitIsLeftOutWithANote) {
    std::vector<std::uint8_t> body;
    makeFirmware(dir, "plain.TVB", 0x8401, 32768, &body);
    body.resize(body.size() + 7232, 0xFF);
    const QString path = dir.filePath("fw.TVB");
    ASSERT_TRUE(writeFirmwareFile(path.toStdString(), 0x8401, "E2E", "V2.0", body).ok);
    ASSERT_TRUE(selectFirmwareFile(path.toStdString(), image).accepted);
    panel.options.verify = false;
    EXPECT_EQ(run(0x8401), MessageRow::msgUpgradeOk);
    EXPECT_EQ(device->pagesProgrammed(), 128U);
    EXPECT_TRUE(std::equal(body.begin(), body.begin() + 32768, device->memory().begin()));
    const bool noted =
        std::any_of(panel.events.begin(), panel.events.end(), [](const std::string& e) {
            return e.rfind("reason ", 0) == 0 &&
                   e.find("7232 bytes past the 32768 bytes") != std::string::npos;
        });
    EXPECT_TRUE(noted) << "no reason names the blank tail";
}

// Replaced after selection by a file of another model: the header the
// operator chose is gone, so nothing of the new file goes to the device.
TEST_F(FileDuringRun, ReplacedByAnotherModelAfterSelectionIsRefused) {
    const QString path = select(0x8401, 4 * 256);
    ASSERT_TRUE(writeFirmwareFile(path.toStdString(), 0x8402, "E2E", "V2.0",
                                  std::vector<std::uint8_t>(1024, 0x11))
                    .ok);
    EXPECT_EQ(run(0x8401), MessageRow::msgLoadFileError);
    EXPECT_NE(panel.reason.find("header chosen"), std::string::npos) << panel.reason;
    EXPECT_EQ(device->pagesProgrammed(), 0U);
}

// ------------------------------------------------------------- settings

struct StoreCase {
    const char* what;
    std::function<QString(const QTemporaryDir&)> make;
    bool storeWrites;     // storeLinkSettings may write (the file reads as a store, or a
                          // damaged one was set aside)
    const char* netPort;  // what loadSettings gives for NetPort (null: see the test)
    bool skipAsRoot = false;
};

void PrintTo(const StoreCase& c, std::ostream* os) {
    *os << c.what;
}

const char* const kKeyOpen = R"({"\\Software\\TOLVA\\Flashmere": )";

QString store(const QTemporaryDir& d, const QByteArray& bytes) {
    return writeBytes(d, "settings.json", bytes);
}

class SettingsInput : public ::testing::TestWithParam<StoreCase> {};

TEST_P(SettingsInput, ReadsAsDefaultsOrByTheRuleAndLosesNothing) {
    const StoreCase& c = GetParam();
    if (c.skipAsRoot && ::geteuid() == 0) {
        GTEST_SKIP() << "root reads any file";
    }
    QTemporaryDir dir;
    const QString path = c.make(dir);
    const QByteArray before = fileBytes(path);

    AppSettings settings(path);
    settings.loadSettings();
    if (c.netPort) {
        EXPECT_EQ(settings.netPort, c.netPort);
    } else {
        // Kept as text; the link refuses a port that is no number.
        EXPECT_FALSE(parseTcpPort(settings.netPort).has_value());
    }
    EXPECT_TRUE(settings.linkKind == kLinkCom || settings.linkKind == kLinkNet);
    EXPECT_GE(settings.languageIndex, 0);
    EXPECT_LE(settings.languageIndex, 2);

    settings.netIP = "10.0.0.7";
    const bool wrote = settings.storeLinkSettings();
    EXPECT_EQ(wrote, c.storeWrites);
    if (!c.storeWrites) {
        EXPECT_EQ(fileBytes(path), before) << "a store the tool cannot read was overwritten";
        return;
    }
    // A damaged store is kept whole under another name.
    if (!settings.damagedStoreSetAside.isEmpty()) {
        EXPECT_EQ(fileBytes(settings.damagedStoreSetAside), before);
    }
    // What was written reads back, and every other value of the file stays.
    AppSettings again(path);
    again.loadSettings();
    EXPECT_EQ(again.netIP, "10.0.0.7");
    const QByteArray after = fileBytes(path);
    if (before.contains("KeepMe")) {
        EXPECT_TRUE(after.contains("KeepMe")) << after.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stores, SettingsInput,
    ::testing::Values(
        StoreCase{"missing", [](const QTemporaryDir& d) { return d.filePath("settings.json"); },
                  true, "5003"},
        StoreCase{"empty", [](const QTemporaryDir& d) { return store(d, ""); }, true, "5003"},
        StoreCase{"broken_json",
                  [](const QTemporaryDir& d) {
                      return store(d, QByteArray(kKeyOpen) + R"({"NetPort": "6000")");
                  },
                  true, "5003"},
        StoreCase{"binary_junk",
                  [](const QTemporaryDir& d) { return store(d, QByteArray(300, '\xC3')); }, true,
                  "5003"},
        StoreCase{"huge",
                  [](const QTemporaryDir& d) {
                      return store(d, QByteArray(kKeyOpen) + "{\"NetPort\": \"6000\", \"Pad\": \"" +
                                          QByteArray(3 << 20, 'p') + "\"}}");
                  },
                  true, "6000"},  // large, but a store: read, never set aside
        StoreCase{"a_folder",
                  [](const QTemporaryDir& d) {
                      fs::create_directory(d.filePath("settings.json").toStdString());
                      return d.filePath("settings.json");
                  },
                  false, "5003"},
        StoreCase{"key_not_an_object",
                  [](const QTemporaryDir& d) { return store(d, QByteArray(kKeyOpen) + "7}"); },
                  true, "5003"},
        StoreCase{"port_a_number",
                  [](const QTemporaryDir& d) {
                      return store(d, QByteArray(kKeyOpen) +
                                          R"({"NetIP": "1.2.3.4", "NetPort": 6000, "KeepMe": 1}})");
                  },
                  true, "5003"},
        StoreCase{"type_a_string",
                  [](const QTemporaryDir& d) {
                      return store(d, QByteArray(kKeyOpen) +
                                          R"({"TYPE": "1", "NetPort": "6000", "KeepMe": 1}})");
                  },
                  true, "5003"},
        StoreCase{"port_text_non_ascii_and_long",
                  [](const QTemporaryDir& d) {
                      return store(d, QByteArray(kKeyOpen) + R"({"NetPort": "５００３)" +
                                          QByteArray(5000, '9') + R"(", "KeepMe": 1}})");
                  },
                  true, nullptr},
        StoreCase{"read_only",
                  [](const QTemporaryDir& d) {
                      const QString p = store(d, QByteArray(kKeyOpen) + R"({"NetPort": "6000"}})");
                      fs::permissions(p.toStdString(), fs::perms::owner_read);
                      return p;
                  },
                  false, "6000"},
        StoreCase{"unreadable",
                  [](const QTemporaryDir& d) {
                      const QString p = store(d, QByteArray(kKeyOpen) + R"({"NetPort": "6000"}})");
                      fs::permissions(p.toStdString(), fs::perms::none);
                      return p;
                  },
                  false, "5003", true}),
    [](const auto& param) { return std::string(param.param.what); });

}  // namespace
}  // namespace flashmere::reliability
