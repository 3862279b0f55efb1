#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "firmware/firmware_header.h"
#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "firmware/model_family.h"
#include "firmware/page_layout.h"
#include "scratch_dir.h"

namespace flashmere {
namespace {

using testing::kFifosAndLinks;
using testing::makeFifo;
using testing::ScratchDir;

HeaderBytes plainHeader(std::string_view magic, std::uint16_t model, std::string_view text) {
    HeaderBytes bytes{};
    std::copy(magic.begin(), magic.begin() + std::min<std::size_t>(magic.size(), 8), bytes.begin());
    bytes[8] = static_cast<std::uint8_t>(model >> 8);
    bytes[9] = static_cast<std::uint8_t>(model & 0xFF);
    std::copy(text.begin(), text.begin() + std::min<std::size_t>(text.size(), 16),
              bytes.begin() + 16);
    return bytes;
}

struct HeaderCase {
    const char* label;
    std::string magic;
    std::uint16_t model;
    std::string text;
    bool accepted;
    std::string name;
    std::string version;
};

const std::vector<HeaderCase>& headerCases() {
    using namespace std::string_literals;
    static const std::vector<HeaderCase> cases = {
        {"name_blanks_version", "TOLVA-V7", 0x8401, "FW1         V1.2", true, "FW1", "V1.2"},
        {"two_leading_blanks_shift_split", "TOLVA-V7", 0x8401, "  ABCDEFGHIJV1.2", true,
         "ABCDEFGHIJV1", ".2"},
        {"short_text_empty_version", "TOLVA-V7", 0x8401, "SHORT", true, "SHORT", ""},
        {"twelve_characters_empty_version", "TOLVA-V7", 0x8401, "ABCDEFGHIJKL    ", true,
         "ABCDEFGHIJKL", ""},
        {"sixteen_characters", "TOLVA-V7", 0x8801, "ABCDEFGHIJKLMNOP", true, "ABCDEFGHIJKL",
         "MNOP"},
        {"nul_at_byte_16", "TOLVA-V7", 0x8401, ""s, true, "", ""},
        {"nul_inside_text_ends_it", "TOLVA-V7", 0x8401, "FW1\0        V1.2"s, true, "FW1", ""},
        {"version_trimmed_again", "TOLVA-V7", 0x8401, "FW1          V1.", true, "FW1", "V1."},
        {"control_characters_trimmed", "TOLVA-V7", 0x8401, "\tFW1\x01        V1\x1f"s, true, "FW1",
         "V1"},
        {"high_bytes_are_not_blanks", "TOLVA-V7", 0x8401,
         "\xE9"
         "FW         \xFFV1"s,
         true,
         "\xE9"
         "FW",
         "\xFFV1"},
        {"high_byte_zero_model", "TOLVA-V7", 0x0131, "IO          0100", true, "IO", "0100"},
        {"nul_inside_magic", "TOLVA\0V7"s, 0x8401, "FW1         V1.2", false, "", ""},
        {"magic_case_differs", "tolva-v7", 0x8401, "FW1         V1.2", false, "", ""},
        {"magic_other_text", "TOLVA-V6", 0x8401, "FW1         V1.2", false, "", ""},
        {"empty_header", ""s, 0x0000, ""s, false, "", ""},
    };
    return cases;
}

class HeaderCaseTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCaseTest, ParseYieldsFields) {
    const HeaderCase& c = GetParam();
    const FirmwareHeader header = parseHeader(plainHeader(c.magic, c.model, c.text));
    EXPECT_EQ(header.accepted(), c.accepted);
    EXPECT_EQ(header.modelCode, c.model);  // taken whether the magic passes or not
    EXPECT_EQ(header.firmwareName, c.name);
    EXPECT_EQ(header.firmwareVersion, c.version);
    if (!c.accepted) {
        EXPECT_EQ(header.fault, HeaderFault::WrongMagic);
    }
}

TEST_P(HeaderCaseTest, SelectionOfStoredFile) {
    const HeaderCase& c = GetParam();
    ScratchDir dir;
    const std::string path = dir.file("case.TVB");
    const std::vector<std::uint8_t> body = {1, 2, 3};
    ASSERT_TRUE(writeFirmwareFileRaw(path, plainHeader(c.magic, c.model, c.text), body).ok);

    FirmwareImage image;
    image.firmwareName = "OLD";
    image.firmwareVersion = "OLD";
    const FileSelection selection = selectFirmwareFile(path, image);
    EXPECT_TRUE(selection.opened);
    EXPECT_EQ(selection.accepted, c.accepted);
    EXPECT_EQ(selection.fileCaption, path);
    EXPECT_EQ(selection.nameCaption, c.name);
    EXPECT_EQ(selection.versionCaption, c.version);
    EXPECT_EQ(image.firmwarePath, path);
    EXPECT_EQ(image.firmwareFileName, "case.TVB");
    EXPECT_EQ(image.modelCode, c.model);
    EXPECT_EQ(image.firmwareName, c.name);
    EXPECT_EQ(image.firmwareVersion, c.version);
}

INSTANTIATE_TEST_SUITE_P(Cases, HeaderCaseTest, ::testing::ValuesIn(headerCases()),
                         [](const auto& p) { return std::string(p.param.label); });

TEST(DecodeHeader, ScramblesWithTheFixedKey) {
    HeaderBytes bytes = plainHeader("TOLVA-V7", 0x8401, "");
    decodeHeader(bytes);
    const std::vector<std::uint8_t> stored(bytes.begin(), bytes.begin() + 10);
    EXPECT_EQ(stored, (std::vector<std::uint8_t>{0x0E, 0x8C, 0x52, 0x21, 0x48, 0x99, 0xB4, 0x5A,
                                                 0xDE, 0xC2}));
    // An all-zero block becomes the key itself, in every one of the four blocks.
    for (std::size_t i = 10; i < kHeaderSize; ++i) {
        EXPECT_EQ(bytes[i], headerKey[i % 8]) << "byte " << i;
    }
}

TEST(DecodeHeader, TwiceGivesBackTheBytes) {
    HeaderBytes bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    const HeaderBytes original = bytes;
    decodeHeader(bytes);
    EXPECT_NE(bytes, original);
    decodeHeader(bytes);
    EXPECT_EQ(bytes, original);
}

TEST(Selection, ShortFilesAreRejectedAsWrongType) {
    ScratchDir dir;
    HeaderBytes stored = plainHeader("TOLVA-V7", 0x8401, "FW1         V1.2");
    decodeHeader(stored);
    for (std::size_t size : {0u, 1u, 10u, 31u}) {
        const std::string path = dir.write(
            "short.TVB",
            std::vector<std::uint8_t>(stored.begin(), stored.begin() + static_cast<long>(size)));
        FirmwareImage image;
        const FileSelection selection = selectFirmwareFile(path, image);
        EXPECT_TRUE(selection.opened) << size;
        EXPECT_FALSE(selection.accepted) << size;
        EXPECT_EQ(readFirmwareHeader(path)->fault, HeaderFault::TooShort) << size;
        EXPECT_TRUE(image.firmwareName.empty());
    }
}

TEST(Selection, MissingFileOrDirectoryCannotBeOpened) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "folder.TVB");
    std::vector<std::string> names = {"missing.TVB", "folder.TVB"};
    if (kFifosAndLinks) {
        // Opening a FIFO for reading would wait for a writer forever.
        ASSERT_TRUE(makeFifo(dir.file("fifo.TVB")));
        names.push_back("fifo.TVB");
    }
    for (const std::string& name : names) {
        FirmwareImage image;
        image.modelCode = 0x8401;
        image.firmwareName = "OLD";
        const std::string path = dir.file(name);
        const FileSelection selection = selectFirmwareFile(path, image);
        EXPECT_FALSE(selection.opened) << name;
        EXPECT_FALSE(selection.accepted) << name;
        EXPECT_EQ(selection.fileCaption, path);
        EXPECT_EQ(image.modelCode, 0);
        EXPECT_EQ(image.firmwareFileName, name);
        EXPECT_TRUE(image.firmwareName.empty());
        EXPECT_FALSE(readFirmwareHeader(path).has_value());
    }
}

TEST(Selection, CancelledDialogInvalidatesButKeepsShownTexts) {
    ScratchDir dir;
    const std::string path = dir.file("good.TVB");
    ASSERT_TRUE(writeFirmwareFile(path, 0x8401, "FW1", "V1.2", {}).ok);
    FirmwareImage image;
    ASSERT_TRUE(selectFirmwareFile(path, image).accepted);
    beginFirmwareSelection(image);
    EXPECT_EQ(image.modelCode, 0);
    EXPECT_TRUE(image.firmwareFileName.empty());
    EXPECT_EQ(image.firmwareName, "FW1");
    EXPECT_EQ(image.firmwareVersion, "V1.2");
}

TEST(Selection, LeavesThePageStoreAlone) {
    ScratchDir dir;
    const std::string path = dir.file("good.TVB");
    ASSERT_TRUE(
        writeFirmwareFile(path, 0x8401, "FW1", "V1.2", std::vector<std::uint8_t>(10, 0)).ok);
    FirmwareImage image;
    image.pageCount = 7;
    image.pages = std::make_shared<PageStore>(kPageSlotSize, 0x42);
    const auto pages = image.pages;
    ASSERT_TRUE(selectFirmwareFile(path, image).accepted);
    EXPECT_EQ(image.pageCount, 7);
    EXPECT_EQ(image.pages, pages);
    EXPECT_EQ(image.page(0, 1)[0], 0x42);
}

}  // namespace
}  // namespace flashmere
