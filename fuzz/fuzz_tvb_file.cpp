// Firmware files as an operator picks them: the whole input is the file.
// The header is read from memory and from the file (both must agree), the
// file is selected as the window does, and its body is loaded into the page
// store with the model code from its own header, or refused for a reason.

#include <algorithm>
#include <cstdint>
#include <memory>

#include "firmware/firmware_header.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_selection.h"
#include "firmware/page_layout.h"
#include "fuzz_support.h"

namespace flashmere::fuzz {
namespace {

bool blankByte(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

void checkTrimmed(const std::string& text, std::size_t maxSize) {
    FUZZ_CHECK(text.size() <= maxSize);
    if (!text.empty()) {
        FUZZ_CHECK(!blankByte(text.front()) && !blankByte(text.back()));
    }
}

}  // namespace
}  // namespace flashmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flashmere;
    using namespace flashmere::fuzz;
    static ScratchFile file(".TVB");
    // 4096 pages of 260 bytes: one store for the whole run, as the window keeps it.
    static FirmwareImage image;

    const std::span<const std::uint8_t> bytes(data, size);
    file.write(bytes);

    const FirmwareHeader fromMemory = readStoredHeader(bytes);
    const auto fromFile = readFirmwareHeader(file.path());
    FUZZ_CHECK(fromFile.has_value());
    FUZZ_CHECK(fromFile->accepted() == fromMemory.accepted());
    FUZZ_CHECK(fromFile->modelCode == fromMemory.modelCode);
    FUZZ_CHECK(fromFile->firmwareName == fromMemory.firmwareName);
    FUZZ_CHECK(fromFile->firmwareVersion == fromMemory.firmwareVersion);
    checkTrimmed(fromMemory.firmwareName, 12);
    checkTrimmed(fromMemory.firmwareVersion, 4);
    if (size < kHeaderSize) {
        FUZZ_CHECK(!fromMemory.accepted() && fromMemory.modelCode == 0);
    }
    if (fromMemory.accepted()) {
        FUZZ_CHECK(fromMemory.headerMagic == kHeaderMagic);
    } else {
        FUZZ_CHECK(fromMemory.firmwareName.empty() && fromMemory.firmwareVersion.empty());
    }

    const FileSelection selection = selectFirmwareFile(file.path(), image);
    FUZZ_CHECK(selection.opened);
    FUZZ_CHECK(selection.accepted == fromMemory.accepted());
    FUZZ_CHECK(image.modelCode == fromMemory.modelCode);
    FUZZ_CHECK(selection.nameCaption == fromMemory.firmwareName);

    // The body goes into pages of the layout of the header's model code. The
    // load takes only a selected header, a body of at least one byte, and
    // nothing past the page limit but 0xFF; every refusal leaves no pages.
    const ImageLoad load = loadFirmwareImage(image);
    FUZZ_CHECK(load.ok() || image.pageCount == 0);
    if (!selection.accepted) {
        FUZZ_CHECK(load.failure == LoadFailure::NotSelected);
        return 0;
    }
    const PageLayout layout = pageLayoutFor(image.modelCode);
    FUZZ_CHECK(layout.pageLimit <= kPageSlots && layout.pageSize <= 256);
    const std::size_t body = size > kHeaderSize ? size - kHeaderSize : 0;
    const auto capacity = static_cast<std::size_t>(largestImageBytes(layout));
    const std::size_t past = body > capacity ? body - capacity : 0;
    const bool tailErased =
        std::all_of(data + size - past, data + size, [](std::uint8_t b) { return b == 0xFF; });
    FUZZ_CHECK(load.ok() == (body > 0 && tailErased));
    FUZZ_CHECK(describeImageLoad(load, image.modelCode).empty() ==
               (load.ok() && load.ignoredBytes == 0));
    if (!load.ok()) {
        FUZZ_CHECK(load.failure == (body == 0 ? LoadFailure::EmptyBody : LoadFailure::BodyTooLong));
        const auto first = image.page(0, 256);
        FUZZ_CHECK(
            std::all_of(first.begin(), first.end(), [](std::uint8_t b) { return b == 0xFF; }));
        return 0;
    }
    FUZZ_CHECK(load.ignoredBytes == past);
    FUZZ_CHECK(image.pageCount >= 0 && image.pageCount <= layout.pageLimit);
    const auto pageSize = static_cast<std::size_t>(layout.pageSize);
    const std::size_t wanted = std::min<std::size_t>((body + pageSize - 1) / pageSize,
                                                     static_cast<std::size_t>(layout.pageLimit));
    FUZZ_CHECK(static_cast<std::size_t>(image.pageCount) == wanted);
    for (int i = 0; i < image.pageCount; ++i) {
        const auto page = image.page(i, layout.pageSize);
        FUZZ_CHECK(page.size() == pageSize);
        const std::size_t from = static_cast<std::size_t>(i) * pageSize;
        const std::size_t n = std::min(pageSize, body - from);
        FUZZ_CHECK(std::equal(page.begin(), page.begin() + static_cast<std::ptrdiff_t>(n),
                              data + kHeaderSize + from));
        // The tail of a short last page reads as erased flash.
        FUZZ_CHECK(std::all_of(page.begin() + static_cast<std::ptrdiff_t>(n), page.end(),
                               [](std::uint8_t b) { return b == 0xFF; }));
    }
    if (image.pageCount < kPageSlots) {
        const auto next = image.page(image.pageCount, 256);
        FUZZ_CHECK(std::all_of(next.begin(), next.end(), [](std::uint8_t b) { return b == 0xFF; }));
    }
    return 0;
}
