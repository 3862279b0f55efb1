// Runs the built flashmere-cli as a user would and checks what it prints,
// its exit code and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QStringList>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/firmware_header.h"
#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "scratch_dir.h"

namespace flashmere {
namespace {

using testing::ScratchDir;

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The binary in FLASHMERE_BIN_DIR, else the one this test was built with.
QString cliPath() {
    if (const char* binDir = std::getenv("FLASHMERE_BIN_DIR"); binDir && *binDir) {
        return QString::fromUtf8(binDir) + "/flashmere-cli";
    }
    return QStringLiteral(FLASHMERE_CLI_PATH);
}

CliRun runCli(const std::vector<std::string>& args) {
    QProcess process;
    QStringList list;
    for (const auto& a : args) {
        list << QString::fromStdString(a);
    }
    process.start(cliPath(), list);
    CliRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        ADD_FAILURE() << "flashmere-cli did not finish";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

// "key:   value" lines of `info` as a map.
std::map<std::string, std::string> fields(const std::string& text) {
    std::map<std::string, std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const auto value = line.find_first_not_of(' ', colon + 1);
        result[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return result;
}

std::vector<std::uint8_t> randomBody(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> body(size);
    unsigned x = seed;
    for (auto& b : body) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return body;
}

std::vector<std::uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void expectOneErrorLine(const CliRun& run, const std::string& cause) {
    EXPECT_EQ(run.err.rfind("flashmere-cli: ", 0), 0u) << run.err;
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_NE(run.err.find(cause), std::string::npos) << run.err;
}

TEST(CliProcess, VersionAndHelp) {
    const CliRun version = runCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "flashmere-cli 1.0.0\n");
    EXPECT_TRUE(version.err.empty());
    EXPECT_EQ(runCli({"-V"}).out, version.out);

    const CliRun help = runCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("info"), std::string::npos);
    EXPECT_NE(help.out.find("pack"), std::string::npos);

    const CliRun packHelp = runCli({"pack", "--help"});
    EXPECT_EQ(packHelp.exitCode, 0);
    EXPECT_NE(packHelp.out.find("--model"), std::string::npos);
}

TEST(CliProcess, BadUsage) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"info"}, {"info", "a", "b"}, {"--model"}}) {
        const CliRun run = runCli(args);
        EXPECT_EQ(run.exitCode, 2);
        expectOneErrorLine(run, "");
    }
    // A command or option that does not exist names the commands that do.
    for (const char* bad : {"bogus", "-v"}) {
        const CliRun run = runCli({bad});
        EXPECT_EQ(run.exitCode, 2);
        expectOneErrorLine(run, "the commands are info, pack, upgrade, query, erase, readback");
    }
    expectOneErrorLine(runCli({"bogus"}), "unknown command 'bogus'");
}

TEST(CliProcess, PortsListIsJsonEvenWhenEmpty) {
    const CliRun run = runCli({"ports", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ASSERT_GE(run.out.size(), 3u);
    EXPECT_EQ(run.out.front(), '[');
    EXPECT_EQ(run.out.substr(run.out.size() - 2), "]\n");
}

TEST(CliProcess, JsonRunThatFailsOnItsFileEndsWithAResult) {
    ScratchDir dir;
    const std::string missing = dir.file("missing.TVB");
    const CliRun run = runCli({"upgrade", missing, "--net", "127.0.0.1:1", "--json"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.out.find("{\"event\":\"result\",\"ok\":false"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"exit\":3}"), std::string::npos) << run.out;
}

// The link stored by the window is checked like --net; a damaged settings
// file is set aside and said once.
TEST(CliProcess, StoredLinkThatCannotBeUsedIsRefusedNamingIt) {
    ScratchDir dir;
    const std::string store = dir.file("settings.json");
    std::ofstream(store) << R"({"\\Software\\TOLVA\\Flashmere": )"
                         << R"({"TYPE": 1, "NetIP": "127.0.0.1", "NetPort": "99999"}})";
    qputenv("FLASHMERE_SETTINGS_FILE", QByteArray::fromStdString(store));
    const CliRun run = runCli({"upgrade", dir.file("fw.TVB")});
    EXPECT_EQ(run.exitCode, 2);
    expectOneErrorLine(run,
                       "the stored link --net 127.0.0.1:99999 cannot be used: the TCP port "
                       "\"99999\" is not a number from 1 to 65535");

    std::ofstream(store) << "{\"cut short";
    const CliRun damaged = runCli({"upgrade", dir.file("fw.TVB")});
    qunsetenv("FLASHMERE_SETTINGS_FILE");
    EXPECT_EQ(damaged.exitCode, 2);
    EXPECT_NE(damaged.err.find("the settings file " + store +
                               " could not be read; it was kept as " + store + ".damaged-"),
              std::string::npos)
        << damaged.err;
    EXPECT_EQ(runCli({"upgrade", dir.file("fw.TVB")}).err.find("could not be read"),
              std::string::npos);
}

struct RoundTrip {
    const char* label;
    std::string model;
    std::string name;
    std::string version;
    std::size_t bodySize;
    std::map<std::string, std::string> expected;
};

class PackInfoTest : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(PackInfoTest, RoundTrip) {
    const RoundTrip& c = GetParam();
    ScratchDir dir;
    const auto body = randomBody(c.bodySize, 7);
    const std::string bodyPath = dir.write("body.bin", body);
    const std::string out = dir.file("fw.TVB");

    const CliRun pack = runCli(
        {"pack", "--model", c.model, "--name", c.name, "--version", c.version, bodyPath, out});
    ASSERT_EQ(pack.exitCode, 0) << pack.err;
    EXPECT_TRUE(pack.err.empty());

    const auto bytes = readAll(out);
    ASSERT_EQ(bytes.size(), body.size() + kHeaderSize);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), bytes.begin() + kHeaderSize));
    EXPECT_EQ(dir.entryCount(), 2u);

    const CliRun info = runCli({"info", out});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_TRUE(info.err.empty());
    const auto shown = fields(info.out);
    EXPECT_EQ(shown.at("header"), "accepted (magic \"TOLVA-V7\")");
    EXPECT_EQ(shown.at("name"), c.name);
    EXPECT_EQ(shown.at("version"), c.version);
    EXPECT_EQ(shown.at("body"), std::to_string(c.bodySize) + " bytes");
    for (const auto& [key, value] : c.expected) {
        EXPECT_EQ(shown.count(key) ? shown.at(key) : "(missing)", value) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, PackInfoTest,
    ::testing::Values(RoundTrip{"binary_8401",
                                "8401",
                                "FW1",
                                "V1.2",
                                30000,
                                {{"model", "8401"},
                                 {"page size", "256 bytes"},
                                 {"page limit", "128 pages"},
                                 {"pages", "118"},
                                 {"protocol", "binary"},
                                 {"programming",
                                  "0x84 loader: erase every 4 pages, 16-bit "
                                  "addresses, page trace"},
                                 {"verification", "patient reads"}}},
                      RoundTrip{"text_8801",
                                "0x8801",
                                "TEXT UNIT 12",
                                "2.01",
                                1015808,
                                {{"model", "8801"},
                                 {"page limit", "3968 pages"},
                                 {"pages", "3968"},
                                 {"protocol", "text"},
                                 {"programming", "text path"},
                                 {"verification", "text path"}}},
                      RoundTrip{"small_pages_8400",
                                "8400",
                                "A",
                                "",
                                300,
                                {{"page size", "128 bytes"},
                                 {"pages", "3"},
                                 {"programming", "0x84 loader: erase every 32 pages"},
                                 {"verification", "quick reads"}}},
                      RoundTrip{"model_high_byte_zero",
                                "131",
                                "IO MODULE",
                                "0100",
                                256,
                                {{"model", "0131"},
                                 {"pages", "1"},
                                 {"programming",
                                  "erase page 0 and every odd page, from 0x3100, "
                                  "16-bit addresses"}}}),
    [](const auto& p) { return std::string(p.param.label); });

struct BadPack {
    const char* label;
    std::string model;
    std::string name;
    std::string version;
    std::string body;  // "" missing, "empty", "big", "folder" or "ok"
    std::string out;   // "ok", "under-file", "no-folder", "folder"
    int exitCode;
    std::string cause;
};

class BadPackTest : public ::testing::TestWithParam<BadPack> {};

TEST_P(BadPackTest, RefusedWithoutOutput) {
    const BadPack& c = GetParam();
    ScratchDir dir;
    std::string bodyPath = dir.file("missing.bin");
    if (c.body == "ok") {
        bodyPath = dir.write("body.bin", randomBody(1000, 3));
    } else if (c.body == "empty") {
        bodyPath = dir.write("body.bin", {});
    } else if (c.body == "big") {
        bodyPath = dir.write("body.bin", randomBody(32769, 3));
    } else if (c.body == "folder") {
        std::filesystem::create_directory(dir.path() / "body.bin");
        bodyPath = dir.file("body.bin");
    } else if (c.body == "fifo") {
        bodyPath = dir.file("body.bin");
        ASSERT_EQ(::mkfifo(bodyPath.c_str(), 0600), 0);
    } else if (c.body.rfind("pages:", 0) == 0) {
        bodyPath = dir.write("body.bin", randomBody(256 * std::stoul(c.body.substr(6)), 3));
    }
    std::string out = dir.file("fw.TVB");
    if (c.out == "under-file") {
        out = dir.write("plain", {1}) + "/fw.TVB";
    } else if (c.out == "no-folder") {
        out = dir.file("no-such-folder/fw.TVB");
    } else if (c.out == "folder") {
        std::filesystem::create_directory(dir.path() / "fw.TVB");
    } else if (c.out == "fifo") {
        ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
    }
    const std::size_t entriesBefore = dir.entryCount();

    const CliRun run = runCli(
        {"pack", "--model", c.model, "--name", c.name, "--version", c.version, bodyPath, out});
    EXPECT_EQ(run.exitCode, c.exitCode);
    expectOneErrorLine(run, c.cause);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(dir.entryCount(), entriesBefore);  // no OUT, no temporary
    if (c.out == "ok") {
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadPackTest,
    ::testing::Values(
        BadPack{"name_too_long", "8401", "ABCDEFGHIJKLM", "V1", "ok", "ok", 2, "longer than 12"},
        BadPack{"version_too_long", "8401", "FW1", "V1.23", "ok", "ok", 2, "longer than 4"},
        BadPack{"name_not_ascii", "8401", "F\xC3\xA9", "V1", "ok", "ok", 2, "not printable ASCII"},
        BadPack{"version_control_char", "8401", "FW1", "V\t1", "ok", "ok", 2,
                "not printable ASCII"},
        BadPack{"name_leading_blank", "8401", " FW1", "V1", "ok", "ok", 2, "blank"},
        BadPack{"name_trailing_blank", "8401", "FW1 ", "V1", "ok", "ok", 2, "blank"},
        BadPack{"name_empty", "8401", "", "V1", "ok", "ok", 2, "name is empty"},
        BadPack{"model_not_hex", "84G1", "FW1", "V1", "ok", "ok", 2, "not a model code"},
        BadPack{"model_too_big", "10000", "FW1", "V1", "ok", "ok", 2, "not a model code"},
        BadPack{"body_missing", "8401", "FW1", "V1", "", "ok", 3, "no such file"},
        BadPack{"body_is_folder", "8401", "FW1", "V1", "folder", "ok", 3, "cannot read"},
        BadPack{"body_empty", "8401", "FW1", "V1", "empty", "ok", 2, "empty"},
        BadPack{"body_past_limit", "8401", "FW1", "V1", "big", "ok", 2, "32768 bytes"},
        BadPack{"body_is_fifo", "8401", "FW1", "V1", "fifo", "ok", 3, "FIFO"},
        // What the upgrade would refuse at programming is not written.
        BadPack{"past_16_bit_addresses", "0131", "FW1", "V1", "pages:208", "ok", 2,
                "at most 207 pages"},
        BadPack{"no_command_codes", "8404", "FW1", "V1", "pages:1", "ok", 2,
                "no programming command codes"},
        BadPack{"out_is_fifo", "8401", "FW1", "V1", "ok", "fifo", 5, "not a regular file"},
        BadPack{"out_under_plain_file", "8401", "FW1", "V1", "ok", "under-file", 5, "cannot write"},
        BadPack{"out_folder_missing", "8401", "FW1", "V1", "ok", "no-folder", 5, "cannot write"},
        BadPack{"out_is_folder", "8401", "FW1", "V1", "ok", "folder", 5, "cannot write"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(CliProcess, InfoRefusesWhatIsNoFirmwareFile) {
    ScratchDir dir;
    const std::string notFirmware = dir.write("plain.TVB", randomBody(500, 1));
    const std::string tooShort = dir.write("short.TVB", randomBody(31, 1));
    std::filesystem::create_directory(dir.path() / "folder.TVB");

    const CliRun rejected = runCli({"info", notFirmware});
    EXPECT_EQ(rejected.exitCode, 4);
    expectOneErrorLine(rejected, "Firmware file type error!");
    EXPECT_NE(fields(rejected.out).at("header").find("rejected"), std::string::npos);

    const CliRun shortRun = runCli({"info", tooShort});
    EXPECT_EQ(shortRun.exitCode, 4);
    expectOneErrorLine(shortRun, "Firmware file type error!");

    const CliRun missing = runCli({"info", dir.file("missing.TVB")});
    EXPECT_EQ(missing.exitCode, 3);
    expectOneErrorLine(missing, "no such file");
    EXPECT_TRUE(missing.out.empty());

    const CliRun folder = runCli({"info", dir.file("folder.TVB")});
    EXPECT_EQ(folder.exitCode, 3);
    expectOneErrorLine(folder, "folder");
}

TEST(CliProcess, InfoShowsIgnoredTail) {
    ScratchDir dir;
    const std::string path = dir.file("long.TVB");
    auto body = randomBody(32768, 5);
    body.resize(40000, 0xFF);
    ASSERT_TRUE(writeFirmwareFile(path, 0x8401, "FW1", "V1.2", body).ok);
    const CliRun run = runCli({"info", path});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto shown = fields(run.out);
    EXPECT_EQ(shown.at("pages"), "128");
    EXPECT_EQ(shown.at("ignored"), "7232 bytes past the page limit, all 0xFF (erased flash)");
    EXPECT_EQ(shown.at("upgrade"), "accepted");
}

// info gives the upgrade's verdict on a file whose header is fine.
TEST(CliProcess, InfoSaysWhatTheUpgradeWouldRefuse) {
    ScratchDir dir;
    struct Case {
        const char* file;
        std::uint16_t model;
        std::size_t bodySize;
        const char* verdict;
        const char* reasonPart;
    };
    for (const Case& c : std::vector<Case>{
             {"empty.TVB", 0x8401, 0, "refused: Load firmware file error!", "no firmware bytes"},
             {"long.TVB", 0x8401, 40000, "refused: Load firmware file error!", "not blank"},
             {"wide.TVB", 0x0131, 208 * 256, "refused: Program/Download error!", "at most 207"},
             {"bare.TVB", 0x8404, 256, "refused: Program/Download error!", "command codes"}}) {
        const std::string path = dir.file(c.file);
        ASSERT_TRUE(writeFirmwareFile(path, c.model, "FW1", "V1", randomBody(c.bodySize, 5)).ok);
        const CliRun run = runCli({"info", path});
        EXPECT_EQ(run.exitCode, 6) << c.file;
        EXPECT_EQ(fields(run.out)["upgrade"], c.verdict) << c.file;
        expectOneErrorLine(run, c.reasonPart);
    }
}

}  // namespace
}  // namespace flashmere
