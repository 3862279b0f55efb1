#include "firmware/firmware_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "firmware/file_path.h"
#include "firmware/firmware_header.h"
#include "firmware/page_layout.h"
#include "firmware/regular_file.h"
#include "firmware/sha256.h"

namespace flashmere {

namespace {

// A page the load did not fill: erased flash.
constexpr std::array<std::uint8_t, kPageSlotSize> kBlankPage = [] {
    std::array<std::uint8_t, kPageSlotSize> page{};
    page.fill(0xFF);
    return page;
}();

// Reads the body into pages, one after the other up to the limit; the store
// grows by a page at a time, so it holds what the file held, not the limit.
std::int32_t fillPages(PageStore& store, std::FILE* file, PageLayout layout, std::uint64_t body,
                       Sha256& hash) {
    const auto pageSize = static_cast<std::size_t>(layout.pageSize);
    const std::uint64_t expected =
        std::min<std::uint64_t>((body + pageSize - 1) / pageSize, std::uint64_t(layout.pageLimit));
    store.reserve(static_cast<std::size_t>(expected) * kPageSlotSize);
    std::int32_t filled = 0;
    while (filled < layout.pageLimit) {
        const std::size_t at = store.size();
        store.resize(at + kPageSlotSize, 0xFF);
        const std::size_t got = std::fread(store.data() + at, 1, pageSize, file);
        hash.add(store.data() + at, got);
        if (got > 0) {
            ++filled;
        } else {
            store.resize(at);
        }
        if (got < pageSize) {
            break;
        }
    }
    return filled;
}

// Counts the bytes after the page limit while they are all 0xFF; false at
// the first other byte, which the device would never receive.
bool countErasedTail(std::FILE* file, std::uint64_t& count, Sha256& hash) {
    std::array<std::uint8_t, 4096> chunk;
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        hash.add(chunk.data(), got);
        const auto end = chunk.begin() + static_cast<std::ptrdiff_t>(got);
        if (std::find_if(chunk.begin(), end, [](std::uint8_t b) { return b != 0xFF; }) != end) {
            return false;
        }
        count += got;
        if (got < chunk.size()) {
            return true;
        }
    }
}

ImageLoad readImage(FirmwareImage& image, ImageLoad load) {
    if (!image.selectedHeader) {
        load.failure = LoadFailure::NotSelected;
        return load;
    }
    RegularFile opened = openRegularFile(image.firmwarePath);
    if (!opened.file) {
        load.failure = opened.notRegular ? LoadFailure::NotRegularFile : LoadFailure::CannotOpen;
        load.systemError = opened.error;
        return load;
    }
    std::FILE* file = opened.file.get();
    const std::uint64_t size = openFileSize(file);
    load.fileBytes = size;
    load.bodyBytes = size > kHeaderSize ? size - kHeaderSize : 0;

    // Selection read the header; a file that no longer starts with it was
    // cut or replaced since, and is not what the operator chose.
    HeaderBytes header{};
    const std::size_t headerRead = std::fread(header.data(), 1, header.size(), file);
    Sha256 hash;
    hash.add(header.data(), headerRead);
    if (std::ferror(file) == 0 && (headerRead < header.size() || header != *image.selectedHeader)) {
        load.failure = LoadFailure::HeaderChanged;
        return load;
    }
    auto store = std::make_shared<PageStore>();
    const std::int32_t filled =
        fillPages(*store, file, pageLayoutFor(image.modelCode), load.bodyBytes, hash);
    const std::string pagesSha256 = Sha256(hash).hex();
    const bool tailErased =
        std::ferror(file) == 0 && countErasedTail(file, load.ignoredBytes, hash);
    if (std::ferror(file) != 0) {
        // A body that could not be read whole must not pass for a short one.
        load.failure = LoadFailure::ReadError;
        load.systemError = errno;
    } else if (!tailErased) {
        load.failure = LoadFailure::BodyTooLong;
    } else if (filled == 0) {
        load.failure = LoadFailure::EmptyBody;
    } else if (!image.selectedPagesSha256.empty() &&
               (size != image.selectedFileBytes || pagesSha256 != image.selectedPagesSha256)) {
        // Cut, grown or rewritten in place since the choice, keeping its
        // header: not the program the operator chose.
        load.failure = LoadFailure::ContentChanged;
        load.chosenBytes = image.selectedFileBytes;
    } else {
        image.pages = std::move(store);
        image.pageCount = filled;
        image.loadedSha256 = hash.hex();
    }
    return load;
}

std::string bytes(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string systemText(int error) {
    return error != 0 ? std::strerror(error) : "input/output error";
}

}  // namespace

std::span<const std::uint8_t> FirmwareImage::page(int i, int size) const {
    if (i < 0 || i >= kPageSlots || size < 0 || size > kPageSlotSize) {
        return {};
    }
    const auto at = static_cast<std::size_t>(i) * kPageSlotSize;
    const std::uint8_t* data = pages && at < pages->size() ? pages->data() + at : kBlankPage.data();
    return {data, static_cast<std::size_t>(size)};
}

ImageLoad loadFirmwareImage(FirmwareImage& image) {
    // Earlier copies keep the pages they share; this image lets go of them.
    image.pages.reset();
    image.pageCount = 0;
    image.loadedSha256.clear();
    ImageLoad load;
    load.capacity = static_cast<std::uint64_t>(largestImageBytes(pageLayoutFor(image.modelCode)));
    return readImage(image, load);
}

std::string describeImageLoad(const ImageLoad& load, std::uint16_t modelCode) {
    char model[8];
    std::snprintf(model, sizeof model, "%04X", static_cast<unsigned>(modelCode));
    const std::string limit = "the " + bytes(load.capacity) + " that model " + model + " takes";
    switch (load.failure) {
        case LoadFailure::None:
            return load.ignoredBytes == 0 ? std::string()
                                          : bytes(load.ignoredBytes) + " past " + limit +
                                                " are all 0xFF (erased flash) and were left out";
        case LoadFailure::NotSelected:
            return "no firmware file with an accepted header was chosen";
        case LoadFailure::NotRegularFile:
            return "the firmware file is no longer a regular file";
        case LoadFailure::CannotOpen:
            return "the firmware file cannot be opened: " + systemText(load.systemError);
        case LoadFailure::ReadError:
            return "the firmware file cannot be read: " + systemText(load.systemError);
        case LoadFailure::HeaderChanged:
            return "the firmware file no longer starts with the header chosen: it was changed, "
                   "cut or replaced since it was selected; select it again";
        case LoadFailure::ContentChanged:
            if (load.fileBytes != load.chosenBytes) {
                return "the firmware file holds " + bytes(load.fileBytes) + " now and held " +
                       bytes(load.chosenBytes) +
                       " when it was chosen: it was cut, changed or replaced since; select it "
                       "again";
            }
            return "the firmware file's bytes differ from those it held when it was chosen (" +
                   bytes(load.fileBytes) +
                   " then and now): it was changed or replaced since; select it again";
        case LoadFailure::EmptyBody:
            return "the firmware file holds a header and no firmware bytes";
        case LoadFailure::BodyTooLong:
            return "the firmware file holds " + bytes(load.bodyBytes) + " of firmware, more than " +
                   limit +
                   "; the bytes past it are not blank (0xFF), so the device would be "
                   "started on a cut program";
    }
    return {};
}

}  // namespace flashmere
