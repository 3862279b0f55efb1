#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "firmware/file_path.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "firmware/new_file.h"
#include "firmware/page_layout.h"
#include "scratch_dir.h"

namespace flashmere {
namespace {

using testing::kFifosAndLinks;
using testing::makeFifo;
using testing::ScratchDir;

std::vector<std::uint8_t> countingBody(std::size_t size) {
    std::vector<std::uint8_t> body(size);
    for (std::size_t i = 0; i < size; ++i) {
        // Never 0xFF, so a byte left blank by mistake shows.
        body[i] = static_cast<std::uint8_t>(i % 251);
    }
    return body;
}

std::vector<std::uint8_t> readAll(const std::string& path) {
    std::ifstream in(pathFromUtf8(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The load as the device tool always did it: one byte at a time, page
// counted from 1, the empty page opened last not counted.
struct ReferenceImage {
    std::vector<std::array<std::uint8_t, 256>> slots;
    int pageCount = 0;
};

ReferenceImage referenceLoad(const std::vector<std::uint8_t>& file, std::uint16_t model) {
    ReferenceImage ref;
    ref.slots.assign(kPageSlots, {});
    for (auto& slot : ref.slots) {
        slot.fill(0xFF);
    }
    const PageLayout layout = pageLayoutFor(model);
    long remaining = static_cast<long>(file.size()) - 32;
    std::size_t at = 32;
    int page = 1;
    int offset = 0;
    while (remaining > 0) {
        ref.slots[static_cast<std::size_t>(page - 1)][static_cast<std::size_t>(offset)] =
            file[at++];
        if (++offset == layout.pageSize) {
            offset = 0;
            ++page;
        }
        --remaining;
        if (page > layout.pageLimit) {
            break;
        }
    }
    if (offset == 0 && page > 0) {
        --page;
    }
    ref.pageCount = std::min(page, layout.pageLimit);
    return ref;
}

bool slotEquals(const FirmwareImage& image, const ReferenceImage& ref, int i) {
    const auto a = image.page(i, 256);
    const auto& b = ref.slots[static_cast<std::size_t>(i)];
    return std::equal(b.begin(), b.end(), a.begin());
}

struct Loaded {
    bool ok;
    FirmwareImage image;
};

Loaded loadBody(const ScratchDir& dir, std::uint16_t model, const std::vector<std::uint8_t>& body) {
    const std::string path = dir.file("image.TVB");
    EXPECT_TRUE(writeFirmwareFile(path, model, "FW", "V1", body).ok);
    Loaded loaded{false, {}};
    EXPECT_TRUE(selectFirmwareFile(path, loaded.image).accepted);
    loaded.ok = loadFirmwareImage(loaded.image).ok();
    return loaded;
}

struct LoadCase {
    const char* label;
    std::uint16_t model;
    std::size_t bodySize;
    int pageCount;
    std::size_t erasedTail = 0;  // 0xFF bytes after the body, past the page limit
};

class LoadCaseTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadCaseTest, PagesAndPadding) {
    const LoadCase& c = GetParam();
    ScratchDir dir;
    auto body = countingBody(c.bodySize);
    body.resize(c.bodySize + c.erasedTail, 0xFF);
    Loaded loaded = loadBody(dir, c.model, body);
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.image.pageCount, c.pageCount);
    // The store holds the pages the file filled, not the model's limit.
    EXPECT_EQ(loaded.image.pages->size(), static_cast<std::size_t>(c.pageCount) * kPageSlotSize);

    const auto size = static_cast<std::size_t>(pageLayoutFor(c.model).pageSize);
    const std::size_t used = std::min(body.size(), static_cast<std::size_t>(c.pageCount) * size);
    for (int i = 0; i < kPageSlots; ++i) {
        const auto page = loaded.image.page(i, 256);
        for (std::size_t k = 0; k < 256; ++k) {
            const std::size_t at = static_cast<std::size_t>(i) * size + k;
            const bool holdsFileByte = k < size && at < used;
            const std::uint8_t expected = holdsFileByte ? body[at] : 0xFF;
            ASSERT_EQ(page[k], expected) << "page " << i << " byte " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadCaseTest,
                         ::testing::Values(LoadCase{"one_full_page", 0x0103, 256, 1},
                                           LoadCase{"one_byte_past_a_page", 0x0103, 257, 2},
                                           LoadCase{"small_pages_300", 0x8400, 300, 3},
                                           LoadCase{"default_row_capped", 0x8401, 32768, 128, 7232},
                                           LoadCase{"largest_text_image", 0x8801, 1015808, 3968},
                                           LoadCase{"one_byte_past_largest", 0x8801, 1015808, 3968,
                                                    1},
                                           LoadCase{"small_pages_full", 0x8302, 262144, 2048}),
                         [](const auto& p) { return std::string(p.param.label); });

TEST(LoadImage, FileShorterThanHeaderFailsWithNoPages) {
    // Selection refuses such a file, so one met at load time was cut after
    // it was chosen: a failed load, never an empty image.
    ScratchDir dir;
    Loaded loaded = loadBody(dir, 0x8401, countingBody(1000));
    ASSERT_TRUE(loaded.ok);
    dir.write("image.TVB", std::vector<std::uint8_t>(20, 0x11));
    EXPECT_EQ(loadFirmwareImage(loaded.image).failure, LoadFailure::HeaderChanged);
    EXPECT_EQ(loaded.image.pageCount, 0);
    EXPECT_EQ(loaded.image.page(0, 256)[0], 0xFF);
}

// What the file holds when the load runs, after a good file was selected
// and loaded once (so stale pages would show): each is refused for its
// reason, leaves no pages, and never waits.
TEST(LoadImage, RefusesWhatTheDeviceMustNotGet) {
    struct Case {
        const char* what;
        std::function<void(const ScratchDir&, const std::string&)> replace;
        LoadFailure failure;
        const char* reasonPart;
    };
    auto withBody = [](std::uint16_t model, std::vector<std::uint8_t> body,
                       const char* name = "FW") {
        return [model, body, name](const ScratchDir&, const std::string& path) {
            ASSERT_TRUE(writeFirmwareFile(path, model, name, "V1", body).ok);
        };
    };
    auto tailedBody = [](std::uint8_t last) {
        auto body = countingBody(32768);
        body.resize(40000, 0xFF);
        body.back() = last;
        return body;
    };
    std::vector<Case> cases = {
        {"header_only", withBody(0x8401, {}), LoadFailure::EmptyBody, "no firmware bytes"},
        {"past_the_limit", withBody(0x8401, countingBody(40000)), LoadFailure::BodyTooLong,
         "40000 bytes of firmware, more than the 32768 bytes that model 8401 takes"},
        {"past_the_limit_not_all_blank", withBody(0x8401, tailedBody(0x00)),
         LoadFailure::BodyTooLong, "not blank"},
        {"other_model", withBody(0x8402, countingBody(1000)), LoadFailure::HeaderChanged,
         "select it again"},
        {"other_name", withBody(0x8401, countingBody(1000), "FW2"), LoadFailure::HeaderChanged,
         "no longer starts with the header chosen"},
        {"other_magic",
         [](const ScratchDir& d, const std::string& path) {
             d.write(utf8FromPath(pathFromUtf8(path).filename()),
                     std::vector<std::uint8_t>(1032, 0x5A));
         },
         LoadFailure::HeaderChanged, "header chosen"},
        {"past_4_GiB",
         [](const ScratchDir&, const std::string& path) {
             // Sparse: the size counts, the first byte past the limit ends the read.
             ASSERT_TRUE(writeFirmwareFile(path, 0x8401, "FW", "V1", countingBody(40000)).ok);
             std::filesystem::resize_file(pathFromUtf8(path),
                                          kHeaderSize + (std::uint64_t{1} << 32) + 40000);
         },
         LoadFailure::BodyTooLong, "4295007296 bytes of firmware"},
        {"cut_keeping_its_header",
         [](const ScratchDir&, const std::string& path) {
             std::filesystem::resize_file(pathFromUtf8(path), 500);
         },
         LoadFailure::ContentChanged, "holds 500 bytes now and held 1032 bytes when it was chosen"},
        {"changed_in_place",
         [](const ScratchDir&, const std::string& path) {
             std::FILE* file = std::fopen(path.c_str(), "r+b");
             ASSERT_NE(file, nullptr);
             std::fseek(file, 600, SEEK_SET);
             std::fputc(0x00, file);
             std::fclose(file);
         },
         LoadFailure::ContentChanged, "differ from those it held when it was chosen"},
        {"folder",
         [](const ScratchDir&, const std::string& path) {
             std::filesystem::remove(pathFromUtf8(path));
             std::filesystem::create_directory(pathFromUtf8(path));
         },
         LoadFailure::NotRegularFile, "no longer a regular file"},
    };
    if (kFifosAndLinks) {
        cases.push_back({"fifo",
                         [](const ScratchDir&, const std::string& path) {
                             std::filesystem::remove(pathFromUtf8(path));
                             ASSERT_TRUE(makeFifo(path));
                         },
                         LoadFailure::NotRegularFile, "no longer a regular file"});
    }
    for (const Case& c : cases) {
        ScratchDir dir;
        const std::string path = dir.file("image.TVB");
        ASSERT_TRUE(writeFirmwareFile(path, 0x8401, "FW", "V1", countingBody(1000)).ok);
        FirmwareImage image;
        ASSERT_TRUE(selectFirmwareFile(path, image).accepted) << c.what;
        ASSERT_TRUE(loadFirmwareImage(image).ok()) << c.what;
        c.replace(dir, path);
        const ImageLoad load = loadFirmwareImage(image);
        EXPECT_EQ(load.failure, c.failure) << c.what;
        EXPECT_EQ(image.pageCount, 0) << c.what;
        EXPECT_EQ(image.page(0, 256)[0], 0xFF) << c.what;
        const std::string reason = describeImageLoad(load, image.modelCode);
        EXPECT_NE(reason.find(c.reasonPart), std::string::npos) << c.what << ": " << reason;
    }
}

TEST(LoadImage, LeavesOutAndCountsABlankTailPastTheLimit) {
    ScratchDir dir;
    auto body = countingBody(32768);
    body.resize(40000, 0xFF);
    Loaded loaded = loadBody(dir, 0x8401, body);
    ASSERT_TRUE(loaded.ok);
    const ImageLoad load = loadFirmwareImage(loaded.image);
    EXPECT_EQ(load.ignoredBytes, 7232u);
    EXPECT_EQ(describeImageLoad(load, 0x8401),
              "7232 bytes past the 32768 bytes that model 8401 takes are all 0xFF (erased "
              "flash) and were left out");
}

TEST(LoadImage, UnreadableFileFailsWithNoPages) {
    ScratchDir dir;
    // A good load first, so that stale pages would show.
    Loaded loaded = loadBody(dir, 0x8401, countingBody(1000));
    ASSERT_TRUE(loaded.ok);
    ASSERT_EQ(loaded.image.pageCount, 4);

    std::filesystem::create_directory(dir.path() / "folder.TVB");
    for (const std::string name : {"missing.TVB", "folder.TVB"}) {
        loaded.image.firmwarePath = dir.file(name);
        EXPECT_FALSE(loadFirmwareImage(loaded.image)) << name;
        EXPECT_EQ(loaded.image.pageCount, 0) << name;
        EXPECT_EQ(loaded.image.page(0, 256)[0], 0xFF) << name;
    }
}

TEST(LoadImage, MatchesByteByByteReference) {
    ScratchDir dir;
    std::mt19937 random(20240601);
    const std::vector<std::uint16_t> models = {0x8400, 0x8301, 0x8461, 0x0131,
                                               0x0103, 0x8801, 0x8401, 0x8081};
    FirmwareImage image;
    for (int round = 0; round < 40; ++round) {
        const std::uint16_t model = models[static_cast<std::size_t>(round) % models.size()];
        const PageLayout layout = pageLayoutFor(model);
        // Sizes around page boundaries and past the limit.
        std::uniform_int_distribution<int> sizes(0, largestImageBytes(layout) + 600);
        std::size_t size = static_cast<std::size_t>(sizes(random));
        if (round % 4 == 1) {
            size = static_cast<std::size_t>(layout.pageSize) * (size / 1000 + 1);
        }
        std::vector<std::uint8_t> body(size);
        for (auto& b : body) {
            b = static_cast<std::uint8_t>(random());
        }
        // Bytes past the limit are blank, or the load refuses the file.
        if (size > static_cast<std::size_t>(largestImageBytes(layout))) {
            std::fill(body.begin() + largestImageBytes(layout), body.end(), 0xFF);
        }
        if (body.empty()) {
            body.push_back(0x42);
        }
        const std::string path = dir.file("random.TVB");
        ASSERT_TRUE(writeFirmwareFile(path, model, "RND", "", body).ok);
        ASSERT_TRUE(selectFirmwareFile(path, image).accepted);
        ASSERT_TRUE(loadFirmwareImage(image).ok());

        const ReferenceImage ref = referenceLoad(readAll(path), model);
        ASSERT_EQ(image.pageCount, ref.pageCount) << "model " << model << " size " << size;
        for (int i = 0; i < kPageSlots; ++i) {
            ASSERT_TRUE(slotEquals(image, ref, i)) << "model " << model << " page " << i;
        }
    }
}

TEST(PageAccess, OutOfRangeGivesNothing) {
    FirmwareImage image;
    EXPECT_EQ(image.page(0, 260).size(), 260u);
    EXPECT_EQ(image.page(4095, 128).size(), 128u);
    EXPECT_TRUE(image.page(-1, 256).empty());
    EXPECT_TRUE(image.page(4096, 256).empty());
    EXPECT_TRUE(image.page(0, 261).empty());
    EXPECT_TRUE(image.page(0, -1).empty());
}

TEST(WriteFile, StoresScrambledHeaderAndPlainBody) {
    ScratchDir dir;
    const std::string path = dir.file("out.TVB");
    const std::vector<std::uint8_t> body = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(writeFirmwareFile(path, 0x8801, "TEXT UNIT", "2.01", body).ok);
    const auto bytes = readAll(path);
    ASSERT_EQ(bytes.size(), 36u);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), bytes.begin() + 32));
    HeaderBytes header;
    std::copy_n(bytes.begin(), 32, header.begin());
    decodeHeader(header);
    EXPECT_EQ(header, makePlainHeader(0x8801, "TEXT UNIT", "2.01"));
    const std::string text(header.begin() + 16, header.end());
    EXPECT_EQ(text, "TEXT UNIT   2.01");
    EXPECT_EQ(dir.entryCount(), 1u);  // no temporary left beside it
}

TEST(WriteFile, ReplacesAnOldFileWhole) {
    ScratchDir dir;
    const std::string path = dir.write("out.TVB", std::vector<std::uint8_t>(5000, 0x55));
    ASSERT_TRUE(writeFirmwareFile(path, 0x8401, "FW1", "V1.2", countingBody(10)).ok);
    EXPECT_EQ(readAll(path).size(), 42u);
    EXPECT_EQ(dir.entryCount(), 1u);
}

TEST(WriteFile, FailureLeavesNothing) {
    ScratchDir dir;
    // A folder where the file should go, and a path under a plain file.
    std::filesystem::create_directory(dir.path() / "taken.TVB");
    const std::string plain = dir.write("plain", {1});
    for (const std::string& path :
         {dir.file("taken.TVB"), plain + "/out.TVB", dir.file("no-such-folder/out.TVB")}) {
        const WriteResult result = writeFirmwareFile(path, 0x8401, "FW1", "V1.2", countingBody(10));
        EXPECT_FALSE(result.ok) << path;
        EXPECT_NE(result.error.find(path), std::string::npos) << result.error;
    }
    EXPECT_EQ(dir.entryCount(), 2u);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "taken.TVB"));
}

TEST(WriteFile, WritesThroughALinkAndNeverReplacesOtherKinds) {
    if (!kFifosAndLinks) {
        GTEST_SKIP() << "no FIFOs or symbolic links to make on this system";
    }
    ScratchDir dir;
    const std::string target = dir.write("target.TVB", {1, 2, 3});
    std::filesystem::create_symlink("target.TVB", dir.path() / "link.TVB");
    const std::vector<std::uint8_t> body = {7};
    ASSERT_TRUE(writeFirmwareFile(dir.file("link.TVB"), 0x8401, "FW1", "V1.2", body).ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link.TVB"));
    EXPECT_EQ(readAll(target).size(), 33u);

    // A FIFO (as a device node would be) is left as it is, named or linked.
    const std::string fifo = dir.file("fifo.TVB");
    ASSERT_TRUE(makeFifo(fifo));
    std::filesystem::create_symlink("fifo.TVB", dir.path() / "to-fifo.TVB");
    for (const std::string& path : {fifo, dir.file("to-fifo.TVB")}) {
        const WriteResult result = writeFirmwareFile(path, 0x8401, "FW1", "V1.2", body);
        EXPECT_FALSE(result.ok) << path;
        EXPECT_NE(result.error.find("not a regular file"), std::string::npos) << result.error;
        EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    }
    EXPECT_EQ(dir.entryCount(), 4u);  // no temporary left
}

// The writer's temporary file is created, never taken over: on Windows too,
// whose C runtime ignores fopen's "x".
TEST(WriteFile, NewFileIsNeverAnExistingOne) {
    ScratchDir dir;
    const std::string taken = dir.write("taken", {1, 2, 3});
    errno = 0;
    std::FILE* file = createNewBinaryFile(taken);
    if (file != nullptr) {
        std::fclose(file);
    }
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readAll(taken), (std::vector<std::uint8_t>{1, 2, 3}));

    std::FILE* fresh = createNewBinaryFile(dir.file("fresh"));
    ASSERT_NE(fresh, nullptr);
    EXPECT_GE(std::fputs("a\n", fresh), 0);  // binary: the line end stays one byte
    std::fclose(fresh);
    EXPECT_EQ(readAll(dir.file("fresh")), (std::vector<std::uint8_t>{'a', '\n'}));
}

// Paths are UTF-8 text, as the window holds them, on every system; Windows'
// narrow file calls would read them in the local code page instead.
TEST(WriteFile, Utf8PathsReachTheirFiles) {
    ScratchDir dir;
    const auto folder = dir.path() / std::filesystem::path(u8"\u56FA\u4EF6-Pr\u00FCfung");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string path = dir.path().string() +
                             "/\xE5\x9B\xBA\xE4\xBB\xB6-Pr\xC3\xBC"
                             "fung/fw-\xC3\xBC.TVB";
    ASSERT_TRUE(writeFirmwareFile(path, 0x8401, "FW1", "V1.2", countingBody(300)).ok);
    EXPECT_TRUE(std::filesystem::exists(folder / std::filesystem::path(u8"fw-\u00FC.TVB")));
    FirmwareImage image;
    ASSERT_TRUE(selectFirmwareFile(path, image).accepted);
    EXPECT_EQ(image.firmwareFileName, "fw-\xC3\xBC.TVB");
    EXPECT_TRUE(loadFirmwareImage(image));
    EXPECT_GT(image.pageCount, 0);
}

TEST(HeaderText, Checks) {
    struct Case {
        std::string name;
        std::string version;
        bool ok;
    };
    for (const Case& c : std::vector<Case>{
             {"FW1", "V1.2", true},
             {"ABCDEFGHIJKL", "MNOP", true},
             {"A B", "", true},
             {"A", "1 2", true},
             {"", "V1", false},
             {"ABCDEFGHIJKLM", "V1", false},
             {"FW1", "V1.23", false},
             {" FW1", "V1", false},
             {"FW1 ", "V1", false},
             {"FW1", " V1", false},
             {"FW1", "V1 ", false},
             {"F\xC3\xA9", "V1", false},
             {"FW\t1", "V1", false},
             {"FW1", "V\x7F", false},
         }) {
        EXPECT_EQ(!checkHeaderText(c.name, c.version).has_value(), c.ok)
            << '"' << c.name << "\" \"" << c.version << '"';
    }
}

TEST(HeaderText, RefusedTextWritesNothing) {
    ScratchDir dir;
    const std::string path = dir.file("out.TVB");
    const WriteResult result = writeFirmwareFile(path, 0x8401, " FW1", "V1", {});
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(HeaderText, EveryAcceptedTextReadsBackUnchanged) {
    ScratchDir dir;
    const std::string path = dir.file("out.TVB");
    for (const auto& [name, version] : std::vector<std::pair<std::string, std::string>>{
             {"FW1", "V1.2"}, {"ABCDEFGHIJKL", "MNOP"}, {"A", ""}, {"A  B", "1 2"}, {"~!", "@#"}}) {
        ASSERT_TRUE(writeFirmwareFile(path, 0x0131, name, version, {}).ok);
        const auto header = readFirmwareHeader(path);
        ASSERT_TRUE(header.has_value());
        EXPECT_TRUE(header->accepted());
        EXPECT_EQ(header->firmwareName, name);
        EXPECT_EQ(header->firmwareVersion, version);
        EXPECT_EQ(header->modelCode, 0x0131);
    }
}

}  // namespace
}  // namespace flashmere
