#include "firmware/firmware_selection.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>

#include "firmware/file_path.h"
#include "firmware/page_layout.h"
#include "firmware/regular_file.h"
#include "firmware/sha256.h"

namespace flashmere {

namespace {

std::string fileNamePart(const std::string& path) {
    return utf8FromPath(pathFromUtf8(path).filename());
}

// The first 32 bytes of a regular file as stored (fewer for a shorter file).
struct StoredStart {
    HeaderBytes bytes{};
    std::size_t size = 0;
};

std::optional<StoredStart> readStoredStart(const std::string& path) {
    const RegularFile opened = openRegularFile(path);
    if (!opened.file) {
        return std::nullopt;
    }
    StoredStart start;
    start.size = std::fread(start.bytes.data(), 1, start.bytes.size(), opened.file.get());
    if (std::ferror(opened.file.get()) != 0) {
        return std::nullopt;
    }
    return start;
}

// What the header's fault means for the operator.
std::string describeRefusal(const FirmwareHeader& header, std::size_t storedSize) {
    if (header.fault == HeaderFault::TooShort) {
        return "the file holds " + std::to_string(storedSize) +
               " bytes, fewer than the 32 of a firmware header: it is not a firmware file, or "
               "it was cut short";
    }
    std::string shown;
    for (const char c : header.headerMagic) {
        const auto u = static_cast<unsigned char>(c);
        shown += u >= 0x20 && u < 0x7F ? std::string(1, c) : "?";
    }
    return "its header does not start with \"" + std::string(kHeaderMagic) + "\" (it reads \"" +
           shown + "\"): it is not a firmware file for this tool";
}

// Notes the file's size and the hash of what a load would read into pages,
// so that the load can tell the file it finds from the one chosen. Nothing
// noted when the file cannot be read through.
void noteChosenContent(const std::string& path, FirmwareImage& image) {
    const RegularFile opened = openRegularFile(path);
    if (!opened.file) {
        return;
    }
    std::FILE* file = opened.file.get();
    const std::uint64_t size = openFileSize(file);
    auto left = static_cast<std::uint64_t>(kHeaderSize) +
                static_cast<std::uint64_t>(largestImageBytes(pageLayoutFor(image.modelCode)));
    Sha256 hash;
    std::array<std::uint8_t, 4096> chunk;
    while (left > 0) {
        const std::size_t got =
            std::fread(chunk.data(), 1,
                       static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size())), file);
        hash.add(chunk.data(), got);
        left -= got;
        if (got == 0) {
            break;
        }
    }
    if (std::ferror(file) == 0) {
        image.selectedFileBytes = size;
        image.selectedPagesSha256 = hash.hex();
    }
}

}  // namespace

void beginFirmwareSelection(FirmwareImage& image) {
    image.modelCode = 0;
    image.firmwareFileName.clear();
    image.selectedHeader.reset();
    image.selectedFileBytes = 0;
    image.selectedPagesSha256.clear();
    image.loadedSha256.clear();
}

std::optional<FirmwareHeader> readFirmwareHeader(const std::string& path) {
    const auto start = readStoredStart(path);
    if (!start) {
        return std::nullopt;
    }
    return readStoredHeader(std::span<const std::uint8_t>(start->bytes.data(), start->size));
}

FileSelection selectFirmwareFile(const std::string& path, FirmwareImage& image) {
    beginFirmwareSelection(image);
    image.firmwareName.clear();
    image.firmwareVersion.clear();
    image.headerMagic.clear();
    image.firmwarePath = path;
    image.firmwareFileName = fileNamePart(path);

    FileSelection selection;
    selection.fileCaption = path;

    const auto start = readStoredStart(path);
    if (!start) {
        return selection;
    }
    const FirmwareHeader header =
        readStoredHeader(std::span<const std::uint8_t>(start->bytes.data(), start->size));
    selection.opened = true;
    image.modelCode = header.modelCode;
    image.headerMagic = header.headerMagic;
    if (!header.accepted()) {
        selection.refusal = describeRefusal(header, start->size);
        return selection;
    }
    image.firmwareName = header.firmwareName;
    image.firmwareVersion = header.firmwareVersion;
    selection.nameCaption = header.firmwareName;
    selection.versionCaption = header.firmwareVersion;
    image.selectedHeader = start->bytes;
    noteChosenContent(path, image);
    selection.accepted = true;
    return selection;
}

}  // namespace flashmere
