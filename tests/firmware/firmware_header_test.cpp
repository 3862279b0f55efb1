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

TEST(PageLayout, HundredFiftyTwoCodesTakeFiveHundredTwelvePages) {
    std::set<std::uint16_t> codes;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        if (pageLayoutFor(static_cast<std::uint16_t>(code)).pageLimit == 512) {
            codes.insert(static_cast<std::uint16_t>(code));
        }
    }
    EXPECT_EQ(codes.size(), 152u);
    for (std::uint16_t code : std::vector<std::uint16_t>{0x0103, 0x010C, 0x0136, 0x060A, 0x068A,
                                                         0x06CA, 0x8014, 0x8501, 0x86E1, 0x87C1}) {
        EXPECT_EQ(codes.count(code), 1u) << std::hex << code;
    }
    for (std::uint16_t code :
         std::vector<std::uint16_t>{0x0101, 0x0105, 0x0131, 0x0151, 0x8401, 0x8801, 0x87D1}) {
        EXPECT_EQ(codes.count(code), 0u) << std::hex << code;
    }
}

TEST(ModelFamily, NoCodeInTwoRows) {
    std::set<std::uint16_t> seen;
    std::size_t named = 0;
    for (const ModelFamily& family : modelFamilies()) {
        for (const ModelCodeRange& range : family.codes) {
            EXPECT_LE(range.first, range.last);
            for (unsigned code = range.first; code <= range.last; ++code) {
                seen.insert(static_cast<std::uint16_t>(code));
                ++named;
            }
        }
    }
    EXPECT_EQ(seen.size(), named);
    EXPECT_TRUE(modelFamilies().back().codes.empty());
}

// Programming erases before page i when i mod the interval is 0: a row that
// erases every Nth page and leaves N at its default 0 would divide by zero.
TEST(ModelFamily, EveryRowThatErasesEveryNthPageNamesItsInterval) {
    for (const ModelFamily& family : modelFamilies()) {
        if (const ProgramProfile* p = family.programming;
            p && p->eraseRule == EraseRule::EveryNth) {
            EXPECT_GT(p->eraseInterval, 0) << p->name;
        }
    }
}

// The names `info` prints say what their profile does: a name that promises
// another erase interval or address form than its row is caught here.
TEST(ModelFamily, ProfileNamesSayWhatDiffers) {
    std::set<std::string> programming;
    std::set<std::string> verification;
    for (const ModelFamily& family : modelFamilies()) {
        if (const ProgramProfile* p = family.programming) {
            const std::string name = p->name;
            programming.insert(name);
            EXPECT_EQ(name.find("16-bit") != std::string::npos, p->form == AddressForm::Bits16)
                << name;
            if (p->eraseRule == EraseRule::EveryNth) {
                EXPECT_NE(name.find("every " + std::to_string(p->eraseInterval) + " pages"),
                          std::string::npos)
                    << name;
            }
            EXPECT_EQ(name.find("no erase") == 0, p->eraseRule == EraseRule::Never) << name;
            EXPECT_EQ(name.find("page trace") != std::string::npos, p->tracePages) << name;
        }
        if (const VerifyProfile* v = family.verification) {
            const std::string name = v->name;
            verification.insert(name);
            EXPECT_EQ(name.find("16-bit") != std::string::npos, v->form == AddressForm::Bits16)
                << name;
        }
        EXPECT_EQ(family.programming == nullptr, family.verification == nullptr);
    }
    EXPECT_EQ(programming.size(), 12u);
    EXPECT_EQ(verification.size(), 4u);
}

TEST(PageLayout, RowsByCode) {
    struct Row {
        std::uint16_t code;
        int pageSize;
        int pageLimit;
    };
    for (const Row& r : std::vector<Row>{
             {0x8400, 128, 2048}, {0x8402, 128, 2048}, {0x8301, 128, 2048}, {0x8302, 128, 2048},
             {0x8461, 256, 1024}, {0x0181, 256, 1024}, {0x8101, 256, 1664}, {0x8102, 256, 1664},
             {0x8111, 256, 496},  {0x8081, 256, 248},  {0x0131, 256, 223},  {0x0134, 256, 223},
             {0x0103, 256, 512},  {0x87C1, 256, 512},  {0x8901, 256, 3840}, {0x8922, 256, 3840},
             {0x8801, 256, 3968}, {0x8401, 256, 128},  {0x8303, 256, 128},  {0x8802, 256, 128},
             {0x0000, 256, 128},  {0xFFFF, 256, 128},
         }) {
        const PageLayout layout = pageLayoutFor(r.code);
        EXPECT_EQ(layout.pageSize, r.pageSize) << std::hex << r.code;
        EXPECT_EQ(layout.pageLimit, r.pageLimit) << std::hex << r.code;
    }
}

TEST(ModelFamily, TextFamilyByGroup) {
    for (std::uint16_t code :
         std::vector<std::uint16_t>{0x8800, 0x8801, 0x880F, 0x8900, 0x8902, 0x890F}) {
        EXPECT_TRUE(isTextFamily(code)) << std::hex << code;
    }
    for (std::uint16_t code :
         std::vector<std::uint16_t>{0x8810, 0x8911, 0x8921, 0x8401, 0x0000, 0x88F0, 0x8A00}) {
        EXPECT_FALSE(isTextFamily(code)) << std::hex << code;
    }
}

}  // namespace
}  // namespace flashmere
