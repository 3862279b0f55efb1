// `info FILE`: what a firmware file holds and how the upgrade would treat it.
#include <filesystem>
#include <iostream>
#include <memory>

#include "commands.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_selection.h"
#include "firmware/page_layout.h"
#include "profile_names.h"

namespace flashmere::cli {

namespace {

void line(std::string_view key, const std::string& value) {
    std::string padded(key);
    padded += ':';
    padded.resize(std::max<std::size_t>(padded.size() + 1, 15), ' ');
    std::cout << padded << value << '\n';
}

int runInfo(const std::string& path) {
    FirmwareImage image;
    const FileSelection selection = selectFirmwareFile(path, image);
    if (!selection.opened) {
        return fail(ExitCode::FileUnreadable,
                    "cannot open " + path + ": " + unreadableReason(path));
    }
    line("file", path);
    if (!selection.accepted) {
        line("header", "rejected (magic \"" + escapeBytes(image.headerMagic) + "\")");
        line("model", modelHex(image.modelCode));
        std::cout << std::flush;
        return fail(ExitCode::FileRejected, path + ": Firmware file type error!");
    }

    std::error_code error;
    const auto fileSize = std::filesystem::file_size(path, error);
    const std::uintmax_t body = error || fileSize < kHeaderSize ? 0 : fileSize - kHeaderSize;
    const PageLayout layout = pageLayoutFor(image.modelCode);
    if (!loadFirmwareImage(image)) {
        return fail(ExitCode::FileUnreadable,
                    "cannot read " + path + ": " + unreadableReason(path));
    }
    const auto capacity = static_cast<std::uintmax_t>(largestImageBytes(layout));

    line("header", "accepted (magic \"" + image.headerMagic + "\")");
    line("model", modelHex(image.modelCode));
    line("name", escapeBytes(image.firmwareName));
    line("version", escapeBytes(image.firmwareVersion));
    line("body", std::to_string(body) + " bytes");
    line("page size", std::to_string(layout.pageSize) + " bytes");
    line("page limit", std::to_string(layout.pageLimit) + " pages");
    line("pages", std::to_string(image.pageCount));
    if (body > capacity) {
        line("ignored", std::to_string(body - capacity) + " bytes past the page limit");
    }
    line("protocol", protocolPathName(image.modelCode));
    line("programming", programmingProfileName(image.modelCode));
    line("verification", verificationProfileName(image.modelCode));
    return static_cast<int>(ExitCode::Ok);
}

}  // namespace

void registerInfoCommand(CLI::App& app, CommandOutcome& outcome) {
    auto* command = app.add_subcommand(
        "info", "Show the header, page layout and upgrade profile of a firmware file");
    auto path = std::make_shared<std::string>();
    command->add_option("FILE", *path, "Firmware file (.TVB)")->required();
    attachRunner(command, outcome, [path] { return runInfo(*path); });
}

}  // namespace flashmere::cli
