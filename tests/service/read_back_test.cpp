// The read-back's three files, byte for byte: they are compared with other
// tools' output, so the listing's line ends and spacing are the same on every
// system (no text-mode translation of "\n"). The folder is given as UTF-8
// text, as the window holds it, and named in Chinese.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "link/crc.h"
#include "link/virtual_clock.h"
#include "service/service_functions.h"
#include "sim_device.h"
#include "sim_transport.h"
#include "tests/firmware/scratch_dir.h"
#include "tests/support/recording_panel.h"

namespace flashmere {
namespace {

using testing::RecordingPanel;
using testing::ScratchDir;

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ReadBack, FilesHoldTheDevicePagesByteForByte) {
    SimConfig config;
    config.model = 0x8401;
    config.id = 3;
    SimDevice device(config);
    VirtualClock clock;
    SimTransportFactory transports(device, clock);
    OperatorOptions options;
    options.deviceId = 3;
    options.linkKind = kLinkNet;
    options.link.netIP = "127.0.0.1";
    RecordingPanel panel(options);
    ServiceContext context{panel, transports, clock, options};
    ScratchDir scratch;
    const auto out = scratch.path() / std::filesystem::path(u8"\u56DE\u8BFB");
    ASSERT_TRUE(std::filesystem::create_directory(out));

    const std::string folder = scratch.path().string() + "/\xE5\x9B\x9E\xE8\xAF\xBB";
    const ReadBackResult result = readBackDevice(context, 0x8401, folder);
    ASSERT_EQ(result.outcome.ending, RunEnding::Done) << result.error;
    ASSERT_EQ(result.pagesRead, kReadBackPageCount);

    const auto memory = device.memory();
    ASSERT_GE(memory.size(), kReadBackPageCount * 256U);
    std::string dump(32, '\0');
    std::string lines;  // 16 bytes a line
    std::string pages;  // a page a line, after its reply's payload length
    for (std::size_t page = 0; page < kReadBackPageCount; ++page) {
        pages += "[264]";
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint8_t byte = memory[page * 256 + i];
            dump += static_cast<char>(byte);
            lines += hexByte(byte) + " ";
            pages += hexByte(byte) + " ";
            if (i % 16 == 15) {
                lines += "\r\n";
            }
        }
        pages += "\r\n";
    }
    EXPECT_EQ(fileBytes(out / kReadBackDump), dump);
    EXPECT_EQ(fileBytes(out / kReadBackLines), lines);
    EXPECT_EQ(fileBytes(out / kReadBackPages), pages);
    const auto entries = std::filesystem::directory_iterator(out);
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 3);
    EXPECT_EQ(transports.openNow(), 0);
}

// A model 0x8401 device with ID 3 on TCP, its maintenance functions run on
// the virtual clock.
class ServiceOnSim : public ::testing::Test {
  protected:
    explicit ServiceOnSim(const std::vector<std::string>& faults = {},
                          int disconnectAfterFrames = 0)
        : config(configWith(faults, disconnectAfterFrames)) {}
    static SimConfig configWith(const std::vector<std::string>& faults, int disconnectAfterFrames) {
        SimConfig c;
        c.model = 0x8401;
        c.id = 3;
        c.faults.disconnectAfterFrames = disconnectAfterFrames;
        for (const auto& text : faults) {
            c.faults.rules.push_back(*parseFaultRule(text));
        }
        return c;
    }
    static OperatorOptions tcpOptions() {
        OperatorOptions o;
        o.deviceId = 3;
        o.linkKind = kLinkNet;
        o.link.netIP = "127.0.0.1";
        return o;
    }
    // The page addresses of the device's requests with that command, in order.
    std::vector<std::uint32_t> requestAddresses(std::uint16_t command) const {
        std::vector<std::uint32_t> addresses;
        for (const auto& e : device.transcript()) {
            if (e.type == SimEventType::Request && e.command == command) {
                addresses.push_back(e.pageAddress.value_or(0xFFFFFFFFU));
            }
        }
        return addresses;
    }
    // Reads the device back into a new folder `out`; the virtual time it took
    // in `elapsedMs`.
    ReadBackResult readBackIntoNewFolder() {
        out = scratch.path() / "out";
        EXPECT_TRUE(std::filesystem::create_directory(out));
        const std::int64_t started = clock.nowMs();
        ReadBackResult result = readBackDevice(context, 0x8401, out.string());
        elapsedMs = clock.nowMs() - started;
        return result;
    }
    std::vector<const SimEvent*> requests() const {
        std::vector<const SimEvent*> found;
        for (const auto& e : device.transcript()) {
            if (e.type == SimEventType::Request) {
                found.push_back(&e);
            }
        }
        return found;
    }

    SimConfig config;
    SimDevice device{config};
    VirtualClock clock;
    SimTransportFactory transports{device, clock};
    OperatorOptions options = tcpOptions();
    RecordingPanel panel{options};
    ServiceContext context{panel, transports, clock, options};
    ScratchDir scratch;
    std::filesystem::path out;
    std::int64_t elapsedMs = 0;
};

// The lines of a CR LF text file; a bare CR or LF fails.
std::vector<std::string> crlfLines(const std::filesystem::path& path) {
    const std::string bytes = fileBytes(path);
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at = bytes.find("\r\n"); at != std::string::npos;
         at = bytes.find("\r\n", from)) {
        lines.push_back(bytes.substr(from, at - from));
        from = at + 2;
    }
    if (from != bytes.size()) {
        return {"(no CR LF at the end)"};
    }
    for (const auto& line : lines) {
        if (line.find_first_of("\r\n") != std::string::npos) {
            return {"(a line break that is not CR LF)"};
        }
    }
    return lines;
}

class ReadBackOfASilentPage : public ServiceOnSim {
  protected:
    ReadBackOfASilentPage() : ServiceOnSim({"read:3:never"}) {}
};

// Page 3 never answers: ten attempts, each after the whole silence limit;
// the files are written with FF 00 ... 00 in its place and the run ends as
// incomplete, naming the page.
TEST_F(ReadBackOfASilentPage, WritesTheFilesWithThePageMarkedAndSaysSo) {
    const ReadBackResult result = readBackIntoNewFolder();
    ASSERT_EQ(result.outcome.ending, RunEnding::Incomplete) << result.error;
    EXPECT_EQ(result.pagesRead, 89);
    EXPECT_EQ(result.unansweredPages, std::vector<int>{3});
    EXPECT_EQ(panel.lastMessage(), MessageRow::msgProgramError);
    EXPECT_EQ(panel.reason.rfind("page 3 of 90 was not answered in 10 attempts", 0), 0u)
        << panel.reason;
    EXPECT_EQ(panel.lamp, LampColour::Red);
    EXPECT_EQ(transports.openNow(), 0);

    const auto reads = requestAddresses(0x603A);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), 3U * 256U), 10);
    EXPECT_EQ(reads.size(), 99u);
    // Ten silences of more than a second each, and no more than ten times
    // the attempt's pauses and silence on top of the good pages.
    EXPECT_GE(elapsedMs, 10 * 1001);
    EXPECT_LE(elapsedMs, 10 * (100 + 1001 + 100 + 20) + 89 * (105 + 50) + 2000);

    const std::string dump = fileBytes(out / kReadBackDump);
    ASSERT_EQ(dump.size(), 32u + 90u * 256u);
    EXPECT_EQ(dump.substr(0, 32), std::string(32, '\0'));
    std::string failedPage(256, '\0');
    failedPage[0] = '\xFF';
    const auto memory = device.memory();
    for (std::size_t i = 0; i < 90; ++i) {
        const std::string expected =
            i == 3 ? failedPage
                   : std::string(reinterpret_cast<const char*>(memory.data()) + 256 * i, 256);
        EXPECT_EQ(dump.substr(32 + 256 * i, 256), expected) << "page " << i;
    }
    const auto lines = crlfLines(out / kReadBackLines);
    ASSERT_EQ(lines.size(), 16u * 89u + 1u) << lines.front();
    EXPECT_EQ(lines[48], "") << "page 3 is one empty line";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 48) {
            EXPECT_EQ(lines[i].size(), 48u) << "line " << i;
        }
    }
    const auto pages = crlfLines(out / kReadBackPages);
    ASSERT_EQ(pages.size(), 90u);
    EXPECT_EQ(pages[3], "[000]");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (i != 3) {
            EXPECT_EQ(pages[i].rfind("[264]", 0), 0u) << i;
            EXPECT_EQ(pages[i].size(), 5u + 768u) << i;
        }
    }
    const auto entries = std::filesystem::directory_iterator(out);
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 3) << "no temporary files left";

    // The dump is no firmware file.
    FirmwareImage image;
    EXPECT_FALSE(selectFirmwareFile((out / kReadBackDump).string(), image).accepted);
}

class ReadBackOfADamagedPage : public ServiceOnSim {
  protected:
    ReadBackOfADamagedPage() : ServiceOnSim({"read:3:corrupt=10"}) {}
};

// Every reply to page 3 is damaged: each attempt fails at once, and after
// ten of them the page is given up the same way as a silent one.
TEST_F(ReadBackOfADamagedPage, GivesThePageUpAfterTenAttempts) {
    const ReadBackResult result = readBackIntoNewFolder();
    ASSERT_EQ(result.outcome.ending, RunEnding::Incomplete) << result.error;
    EXPECT_EQ(result.pagesRead, 89);
    EXPECT_EQ(result.unansweredPages, std::vector<int>{3});
    EXPECT_EQ(panel.reason.rfind("page 3 of 90 was not answered in 10 attempts", 0), 0u)
        << panel.reason;
    const auto reads = requestAddresses(0x603A);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), 3U * 256U), 10);
    EXPECT_EQ(fileBytes(out / kReadBackDump).size(), 32u + 90u * 256u);
}

class ReadBackOverALostLink : public ServiceOnSim {
  protected:
    ReadBackOverALostLink() : ServiceOnSim({}, 30) {}
};

// The device closes the connection midway: the pages after it are not asked
// for ten times each (minutes of pauses with nobody to answer) but listed as
// unread at once, and the ending says the link was lost.
TEST_F(ReadBackOverALostLink, EndsAtOnceWithTheRestListedUnread) {
    const ReadBackResult result = readBackIntoNewFolder();
    ASSERT_EQ(result.outcome.ending, RunEnding::Incomplete) << result.error;
    ASSERT_GT(result.pagesRead, 0);
    ASSERT_LT(result.pagesRead, 90);
    std::vector<int> rest(static_cast<std::size_t>(90 - result.pagesRead));
    std::iota(rest.begin(), rest.end(), result.pagesRead);
    EXPECT_EQ(result.unansweredPages, rest);
    EXPECT_NE(panel.reason.find("not read: the link was lost during the read-back"),
              std::string::npos)
        << panel.reason;
    EXPECT_LE(elapsedMs, result.pagesRead * (105 + 50) + 3000);
    EXPECT_EQ(fileBytes(out / kReadBackDump).size(), 32u + 90u * 256u);
}

// A panel that puts a folder where the third file is to go once the first
// page has been read, as another program could; or moves the output folder
// away then (from, to).
class BlockingPanel : public RecordingPanel {
  public:
    using RecordingPanel::RecordingPanel;
    std::filesystem::path blockAt;
    std::pair<std::filesystem::path, std::filesystem::path> moveFolder;
    void setVerifyPosition(int position) override {
        RecordingPanel::setVerifyPosition(position);
        if (position == 1 && !blockAt.empty()) {
            std::filesystem::create_directories(blockAt / "inside");
        }
        if (position == 1 && !moveFolder.first.empty()) {
            std::filesystem::rename(moveFolder.first, moveFolder.second);
        }
    }
};

// The folder moved away mid-run: the reason is the system's, and no file,
// finished or part, is left in the folder where it went.
TEST_F(ServiceOnSim, AFolderMovedAwayMidRunGetsNoFile) {
    out = scratch.path() / "out";
    ASSERT_TRUE(std::filesystem::create_directory(out));
    BlockingPanel moving(options);
    moving.moveFolder = {out, scratch.path() / "moved"};
    ServiceContext movingContext{moving, transports, clock, options};

    const ReadBackResult result = readBackDevice(movingContext, 0x8401, out.string());
    EXPECT_EQ(result.outcome.ending, RunEnding::FileNotWritten);
    EXPECT_NE(result.error.find("cannot write " + (out / kReadBackDump).string() +
                                ": No such file or directory"),
              std::string::npos)
        << result.error;
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path() / "moved"));
    EXPECT_EQ(transports.openNow(), 0);
}

// The third file cannot take its name at the end: the files that were in
// the folder before are all still there, as they were.
TEST_F(ServiceOnSim, AFailedReadBackKeepsTheFilesThatWereThere) {
    out = scratch.path() / "out";
    ASSERT_TRUE(std::filesystem::create_directory(out));
    const auto writeFile = [](const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream file(path, std::ios::binary);
        file << bytes;
    };
    writeFile(out / kReadBackDump, "an earlier dump");
    writeFile(out / kReadBackLines, "earlier lines");
    BlockingPanel blocking(options);
    blocking.blockAt = out / kReadBackPages;
    ServiceContext blocked{blocking, transports, clock, options};

    const ReadBackResult result = readBackDevice(blocked, 0x8401, out.string());
    EXPECT_EQ(result.outcome.ending, RunEnding::FileNotWritten);
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(blocking.lastMessage(), MessageRow::msgProgramError);
    EXPECT_EQ(blocking.verifyPos, kReadBackPageCount - 1) << "every page was read first";
    EXPECT_EQ(fileBytes(out / kReadBackDump), "an earlier dump");
    EXPECT_EQ(fileBytes(out / kReadBackLines), "earlier lines");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{kReadBackDump, kReadBackLines, kReadBackPages}));
    EXPECT_TRUE(std::filesystem::is_directory(out / kReadBackPages / "inside"));
    EXPECT_EQ(transports.openNow(), 0);
}

// A link in place of one of the files: the read-back says so and writes no
// file; neither the link nor the file it points to is changed.
TEST_F(ServiceOnSim, ALinkInPlaceOfAFileIsNeitherWrittenThroughNorReplaced) {
    out = scratch.path() / "out";
    ASSERT_TRUE(std::filesystem::create_directory(out));
    const auto target = scratch.path() / "elsewhere.TVB";
    std::ofstream(target, std::ios::binary) << "kept";
    std::error_code linkError;
    std::filesystem::create_symlink(target, out / kReadBackDump, linkError);
    if (linkError) {
        // Wine has no symbolic links for its programs.
        GTEST_SKIP() << "no symbolic link can be made here: " << linkError.message();
    }
    const ReadBackResult result = readBackDevice(context, 0x8401, out.string());
    EXPECT_EQ(result.outcome.ending, RunEnding::FileNotWritten);
    EXPECT_NE(result.error.find("symbolic link"), std::string::npos) << result.error;
    EXPECT_TRUE(std::filesystem::is_symlink(out / kReadBackDump));
    EXPECT_EQ(fileBytes(target), "kept");
    EXPECT_FALSE(std::filesystem::exists(out / kReadBackLines));
}

// 128 pages of a file: 32 blocks, one erase request at every fourth page,
// after the device was put into its loader (6D 2E twice, then the hello).
TEST_F(ServiceOnSim, ErasesOneBlockPerFourPagesOfA128PageFile) {
    std::vector<std::uint8_t> body(128 * 256);
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    const std::string file = scratch.file("fw.TVB");
    ASSERT_TRUE(writeFirmwareFile(file, 0x8401, "SVC", "V2.0", body).ok);
    FirmwareImage image;
    ASSERT_TRUE(selectFirmwareFile(file, image).accepted);
    ASSERT_TRUE(loadFirmwareImage(image));
    ASSERT_EQ(image.pageCount, 128);

    const EraseResult result = eraseDeviceBlocks(context, image);
    EXPECT_EQ(result.outcome.ending, RunEnding::Done);
    EXPECT_EQ(result.blocksErased, 32);
    EXPECT_EQ(panel.lastMessage(), MessageRow::msgProgramOk);
    std::vector<std::uint32_t> everyFourthPage;
    for (std::uint32_t page = 0; page < 128; page += 4) {
        everyFourthPage.push_back(page * 256);
    }
    EXPECT_EQ(requestAddresses(0x603B), everyFourthPage);
    EXPECT_EQ(everyFourthPage.back(), 0x7C00u);
    const auto sent = requests();
    ASSERT_GE(sent.size(), 3u);
    const std::vector<std::uint8_t> enterLoader{0x6D, 0x2E, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(sent[0]->payload, enterLoader);
    EXPECT_EQ(sent[1]->payload, enterLoader);
    EXPECT_EQ(sent[2]->command, 0x0001);
    EXPECT_EQ(transports.openNow(), 0);
}

}  // namespace
}  // namespace flashmere
