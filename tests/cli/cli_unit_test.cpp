#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli_common.h"
#include "console_panel.h"
#include "fleet_panel.h"
#include "fleet_report.h"
#include "link/escaped_text.h"
#include "link_identity.h"
#include "profile_names.h"
#include "tests/support/small_disk.h"

namespace flashmere::cli {
namespace {

TEST(ModelCodeText, Parses) {
    struct Case {
        const char* text;
        std::optional<std::uint16_t> value;
    };
    for (const Case& c : std::vector<Case>{
             {"8401", 0x8401},
             {"0x8401", 0x8401},
             {"0X8401", 0x8401},
             {"88a1", 0x88A1},
             {"0", 0x0000},
             {"0x0", 0x0000},
             {"FFFF", 0xFFFF},
             {"131", 0x0131},
             {"", std::nullopt},
             {"0x", std::nullopt},
             {"10000", std::nullopt},
             {"0x10000", std::nullopt},
             {"84G1", std::nullopt},
             {"-1", std::nullopt},
             {" 8401", std::nullopt},
             {"8401h", std::nullopt},
         }) {
        EXPECT_EQ(parseModelCode(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(Texts, EscapeAndOneLine) {
    EXPECT_EQ(escapeBytes("FW1"), "FW1");
    EXPECT_EQ(escapeBytes(std::string("A\0\xE9\\", 4)), "A\\x00\\xE9\\x5C");
    EXPECT_EQ(oneLine("a\nb\rc\td\x7F"
                      "e"),
              "a?b?c?d?e");
    EXPECT_EQ(oneLine("caf\xC3\xA9"), "caf\xC3\xA9");  // UTF-8 paths stay readable
    EXPECT_EQ(modelHex(0x0131), "0131");
    EXPECT_EQ(modelHex(0x88a1), "88A1");
}

TEST(Texts, DeviceTextIsInertOnTheConsoleAndValidUtf8InJson) {
    // A device name that clears the terminal, sets its title and rings, then
    // two bytes that are no UTF-8; a C1 control (CSI) and a valid character.
    const std::string name =
        std::string("\x1B[2J\x1B]0;X\x07\xFF\xFE", 12) + " \xC2\x9B \xE5\x90\x8D";
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ConsolePanel plain(OperatorOptions{}, ConsolePanel::Style{}, out);
    plain.showDeviceField(DeviceField::Name, name);
    ConsolePanel json(OperatorOptions{}, ConsolePanel::Style{.json = true}, out);
    json.showDeviceField(DeviceField::Name, name);

    std::rewind(out);
    std::string printed;
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) {
        printed += static_cast<char>(c);
    }
    std::fclose(out);
    EXPECT_EQ(
        printed,
        "  device name: \\x1B[2J\\x1B]0;X\\x07\\xFF\\xFE \\xC2\\x9B \xE5\x90\x8D\n"
        R"({"event":"device","field":"name","text":"\u001b[2J\u001b]0;X\u0007\u00ff\u00fe \u009b )"
        "\xE5\x90\x8D\"}\n");
}

TEST(ProfileNames, ByModelCode) {
    struct Case {
        std::uint16_t model;
        const char* protocol;
        const char* programming;
        const char* verification;
    };
    const char* none = "none (no command codes for this model code)";
    for (const Case& c : std::vector<Case>{
             {0x8401, "binary", "0x84 loader: erase every 4 pages, 16-bit addresses, page trace",
              "patient reads"},
             {0x8400, "binary", "0x84 loader: erase every 32 pages", "quick reads"},
             {0x8402, "binary", "0x84 loader: erase every 16 pages", "quick reads"},
             {0x8303, "binary", "0x83 loader: erase every 4 pages, 16-bit addresses, page trace",
              "patient reads"},
             {0x8302, "binary", "0x83 loader: erase every 16 pages", "quick reads"},
             {0x8301, "binary", "0x83 loader: erase every 32 pages", "quick reads"},
             {0x0171, "binary", "erase every 8 pages", "standard reads"},
             {0x8111, "binary", "erase every 16 pages", "standard reads"},
             {0x0133, "binary", "erase page 0 and every odd page, from 0x3100, 16-bit addresses",
              "standard reads, 16-bit addresses"},
             {0x8425, "binary", "erase every 4 pages, 16-bit addresses", "standard reads"},
             {0x8081, "binary", "no erase, pages written over", "standard reads"},
             {0x8921, "binary", "no erase, pages written over", "standard reads"},
             {0x0101, "binary", "erase every 2 pages, 16-bit addresses", "standard reads"},
             {0x8801, "text", "text path", "text path"},
             {0x8902, "text", "text path", "text path"},
             {0x8304, "binary", none, none},
             {0x8405, "binary", none, none},
         }) {
        EXPECT_EQ(protocolPathName(c.model), c.protocol) << std::hex << c.model;
        EXPECT_EQ(programmingProfileName(c.model), c.programming) << std::hex << c.model;
        EXPECT_EQ(verificationProfileName(c.model), c.verification) << std::hex << c.model;
    }
}

// The bars count pages done: the engine reports the index of the page just
// handled, so the first page done is 1 of 8, never 0 of 8.
TEST(ConsoleBars, CountPagesDone) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ConsolePanel::Style plain;
    ConsolePanel panel(OperatorOptions{}, plain, out);
    panel.setProgramPosition(0);  // the reset at the start of a run
    panel.setProgramRange(8);
    for (int page = 0; page < 8; ++page) {
        panel.setProgramPosition(page);
    }
    panel.setProgramPosition(8);
    std::rewind(out);
    std::string text(512, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    EXPECT_EQ(text.find("program 0/8"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("program 1/8\n", 0), 0u) << text;
    EXPECT_NE(text.find("program 8/8\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("9/8"), std::string::npos) << text;
}

// The erase's bar runs to the window's 96 whatever the image holds (a
// 128-page image fills it at page 96): it is said as a share, never as a
// count beside the ending's count of blocks.
TEST(ConsoleBars, TheEraseBarIsAShareNotASecondCount) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ConsolePanel panel(OperatorOptions{}, ConsolePanel::Style{}, out);
    panel.nameBars("erase", "read");
    panel.showProgramBarAsPercent();
    panel.setProgramRange(96);
    for (int page = 0; page < 128; ++page) {
        panel.setProgramPosition(std::min(page, 96));
    }
    std::rewind(out);
    std::string text(1024, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    EXPECT_EQ(text.find("/96"), std::string::npos) << text;
    EXPECT_NE(text.find("erase 50%\n"), std::string::npos) << text;
    EXPECT_NE(text.find("erase 100%\n"), std::string::npos) << text;
}

// A fleet device's JSON events carry its manifest row as a field of their
// own; text that looks like a row field stays as it came.
TEST(FleetJson, TheRowIsAFieldAndTextIsNeverRewritten) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        FleetPanel panel(OperatorOptions{}, 4, 0, out, nullptr);
        panel.showMessageReason(R"(name "a,"row":9")");
        panel.showMessage(MessageRow::msgUpgradeOk);
    }
    std::rewind(out);
    std::string text(1024, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    const auto lines = QString::fromStdString(text).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << text;
    const QJsonObject reason = QJsonDocument::fromJson(lines[0].toUtf8()).object();
    EXPECT_EQ(reason.value("row").toInt(), 4) << text;
    EXPECT_EQ(reason.value("text").toString(), R"(name "a,"row":9")") << text;
    const QJsonObject message = QJsonDocument::fromJson(lines[1].toUtf8()).object();
    EXPECT_EQ(message.value("row").toInt(), 4) << text;
    EXPECT_EQ(message.value("message_row").toInt(), static_cast<int>(MessageRow::msgUpgradeOk));
}

std::string netKey(LinkNames& names, const std::string& host, const std::string& port) {
    OperatorOptions o;
    o.linkKind = kLinkNet;
    o.link.netIP = host;
    o.link.netPort = port;
    return names.keyOf(o);
}

std::string fileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// A full disk under a report being rewritten: the write says the system's
// reason, and the report and its CSV stay as last written, whole. A link in
// place of the report is refused, the file it points to left alone.
TEST(FleetReportFile, AFullDiskOrALinkLeavesTheLastReportWhole) {
    testing::SmallDisk disk(64);
    if (!disk.mounted()) {
        GTEST_SKIP() << disk.why();
    }
    std::vector<FleetRow> rows(3);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].row = static_cast<int>(i) + 2;
        rows[i].linkColumn = "net";
        rows[i].linkText = "127.0.0.1:" + std::to_string(5003 + i);
        rows[i].fileText = "fw.TVB";
    }
    FleetReport report;
    report.manifest = "site.csv";
    report.rows = &rows;
    report.outcomes.resize(rows.size());
    const std::string path = disk.filePath("rep.json").toStdString();
    ASSERT_EQ(writeFleetReport(path, report), "");
    const std::string json = fileText(disk.filePath("rep.json"));
    const std::string csv = fileText(disk.filePath("rep.csv"));
    disk.fill();
    for (FleetOutcome& o : report.outcomes) {
        o.state = FleetState::Done;
        o.reason = std::string(200, 'r');
    }
    const std::string problem = writeFleetReport(path, report);
    EXPECT_NE(problem.find("No space left on device"), std::string::npos) << problem;
    EXPECT_EQ(fileText(disk.filePath("rep.json")), json);
    EXPECT_EQ(fileText(disk.filePath("rep.csv")), csv);

    QTemporaryDir dir;
    const QString target = dir.filePath("elsewhere.json");
    ASSERT_TRUE(QFile::link(target, dir.filePath("linked.json")));
    const std::string refused = writeFleetReport(dir.filePath("linked.json").toStdString(), report);
    EXPECT_NE(refused.find("symbolic link"), std::string::npos) << refused;
    EXPECT_FALSE(QFile::exists(target));
}

// One link written several ways is one link: rows on it run in turn and one
// device on it cannot be named twice.
TEST(FleetLinks, OneDeviceUnderEverySpellingIsOneLink) {
    QTemporaryDir dir;
    const std::string link = dir.filePath("port").toStdString();
    std::filesystem::create_symlink("/dev/null", link);
    LinkNames names;
    const auto com = [&](const std::string& port) {
        OperatorOptions o;
        o.linkKind = kLinkCom;
        o.link.comPortName = port;
        return names.keyOf(o);
    };
    const auto net = [&](const std::string& host, const std::string& port) {
        return netKey(names, host, port);
    };
    EXPECT_EQ(com("null"), com("/dev/null"));
    EXPECT_EQ(com(link), com("/dev/null"));
    EXPECT_EQ(com("ttyS0"), com("/dev/ttyS0"));
    EXPECT_NE(com("ttyS0"), com("ttyS1"));
    EXPECT_EQ(net("localhost", "5003"), net("127.0.0.1", "5003"));
    EXPECT_EQ(net("127.0.0.1", "5003"), net("LOCALHOST", "5003"));
    EXPECT_NE(net("127.0.0.1", "5003"), net("127.0.0.1", "5004"));
    EXPECT_EQ(net("::1", "5003"), net("0:0::1", "5003"));
}

// A site's manifest of numeric addresses asks the resolver nothing (before,
// each row cost two reverse look-ups, and a slow resolver minutes before the
// first device); a host name is asked once, whatever its case.
TEST(FleetLinks, NumericAddressesAreNeverLookedUpAndEachNameOnce) {
    std::map<std::string, int> asked;
    LinkNames names([&](const std::string& name) {
        ++asked[name];
        return name == "hall1.site" ? std::vector<std::string>{"10.0.0.7"}
                                    : std::vector<std::string>{};
    });
    std::set<std::string> keys;
    for (int i = 0; i < 10000; ++i) {
        keys.insert(netKey(names, "10." + std::to_string(i / 250) + ".0." + std::to_string(i % 250),
                           "5003"));
    }
    EXPECT_EQ(keys.size(), 10000U);
    for (const char* v6 : {"::1", "fe80::1%eth0", "2001:db8::7", "::ffff:10.0.0.7"}) {
        netKey(names, v6, "5003");
    }
    EXPECT_TRUE(asked.empty()) << asked.size() << " names looked up";
    EXPECT_EQ(netKey(names, "Hall1.SITE", "5003"), netKey(names, "10.0.0.7", "5003"));
    EXPECT_EQ(netKey(names, "hall1.site", "5003"), netKey(names, "10.0.0.7", "5003"));
    EXPECT_NE(netKey(names, "hall2.site", "5003"), netKey(names, "HALL2.site", "5004"));
    EXPECT_EQ(asked, (std::map<std::string, int>{{"hall1.site", 1}, {"hall2.site", 1}}));
}

}  // namespace
}  // namespace flashmere::cli
