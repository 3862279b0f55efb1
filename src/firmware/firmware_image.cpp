#include "firmware/firmware_image.h"

#include <cstdio>
#include <cstring>

#include "firmware/file_path.h"
#include "firmware/firmware_header.h"

namespace flashmere {

namespace {

// Every page starts blank: an erased flash reads 0xFF.
void blankPages(FirmwareImage& image) {
    for (auto& slot : *image.pages) {
        std::memset(slot.data(), 0xFF, 256);
    }
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

FirmwareImage::FirmwareImage()
    : pages(std::make_unique<std::array<std::array<std::uint8_t, kPageSlotSize>, kPageSlots>>()) {
    for (auto& slot : *pages) {
        slot.fill(0xFF);
    }
}

std::span<const std::uint8_t> FirmwareImage::page(int i, int size) const {
    if (i < 0 || i >= kPageSlots || size < 0 || size > kPageSlotSize) {
        return {};
    }
    return std::span<const std::uint8_t>((*pages)[static_cast<std::size_t>(i)].data(),
                                         static_cast<std::size_t>(size));
}

bool loadFirmwareImage(FirmwareImage& image) {
    blankPages(image);
    image.pageCount = 0;

    std::unique_ptr<std::FILE, FileCloser> file(openFile(image.firmwarePath, "rb"));
    if (!file) {
        return false;
    }
    // The header was checked at selection; here it is only skipped. A file
    // that no longer holds one was cut or replaced since: loading it as an
    // empty image would let a run report success having written nothing.
    std::array<std::uint8_t, kHeaderSize> header;
    const std::size_t headerRead = std::fread(header.data(), 1, header.size(), file.get());
    if (headerRead < header.size()) {
        return false;
    }

    // The body fills page after page straight into the slots; bytes past the
    // model's page limit are never read.
    const PageLayout layout = pageLayoutFor(image.modelCode);
    const auto pageSize = static_cast<std::size_t>(layout.pageSize);
    std::int32_t filled = 0;
    while (filled < layout.pageLimit) {
        auto& slot = (*image.pages)[static_cast<std::size_t>(filled)];
        const std::size_t got = std::fread(slot.data(), 1, pageSize, file.get());
        if (got > 0) {
            ++filled;
        }
        if (got < pageSize) {
            break;
        }
    }
    if (std::ferror(file.get()) != 0) {
        // A body that could not be read whole must not pass for a short one.
        blankPages(image);
        return false;
    }
    image.pageCount = filled;
    return true;
}

}  // namespace flashmere
