#include "firmware/firmware_selection.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "firmware/file_path.h"

namespace flashmere {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string fileNamePart(const std::string& path) {
    return utf8FromPath(pathFromUtf8(path).filename());
}

}  // namespace

void beginFirmwareSelection(FirmwareImage& image) {
    image.modelCode = 0;
    image.firmwareFileName.clear();
}

std::optional<FirmwareHeader> readFirmwareHeader(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(openFile(path, "rb"));
    if (!file) {
        return std::nullopt;
    }
    HeaderBytes bytes{};
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
    // A directory opens on some systems but cannot be read.
    if (std::ferror(file.get()) != 0) {
        return std::nullopt;
    }
    return readStoredHeader(std::span<const std::uint8_t>(bytes.data(), got));
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

    const auto header = readFirmwareHeader(path);
    if (!header) {
        return selection;
    }
    selection.opened = true;
    image.modelCode = header->modelCode;
    image.headerMagic = header->headerMagic;
    if (!header->accepted()) {
        selection.message = header->error;
        return selection;
    }
    image.firmwareName = header->firmwareName;
    image.firmwareVersion = header->firmwareVersion;
    selection.nameCaption = header->firmwareName;
    selection.versionCaption = header->firmwareVersion;
    selection.message = MessageRow::msgRunConnect;
    selection.accepted = true;
    return selection;
}

}  // namespace flashmere
