// `info FILE`: what a firmware file holds and how the upgrade would treat it.
#include <iostream>
#include <optional>

#include "commands.h"
#include "device/model_tables.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_selection.h"
#include "firmware/page_layout.h"
#include "frontend/message_table.h"
#include "link/escaped_text.h"
#include "profile_names.h"

namespace flashmere::cli {

namespace {

void line(std::string_view key, const std::string& value) {
    std::string padded(key);
    padded += ':';
    padded.resize(std::max<std::size_t>(padded.size() + 1, 15), ' ');
    std::cout << padded << value << '\n';
}

// What the upgrade would do with a file whose header it accepts: refuse it
// at the load or at programming (with the reason), or take it.
struct Verdict {
    std::string message;  // the upgrade's message for a refusal
    std::string reason;
};

std::optional<Verdict> refusalOf(const ImageLoad& load, const FirmwareImage& image) {
    if (!load.ok()) {
        return Verdict{textOf(MessageRow::msgLoadFileError, 0),
                       describeImageLoad(load, image.modelCode)};
    }
    if (auto refusal = programmingRefusal(image.modelCode, image.pageCount)) {
        return Verdict{textOf(MessageRow::msgProgramError, 0), *refusal};
    }
    return std::nullopt;
}

}  // namespace

int runInfoCommand(const InfoArgs& args) {
    const std::string& path = args.file;
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

    const PageLayout layout = pageLayoutFor(image.modelCode);
    const ImageLoad load = loadFirmwareImage(image);
    if (load.failure == LoadFailure::NotRegularFile || load.failure == LoadFailure::CannotOpen ||
        load.failure == LoadFailure::ReadError) {
        return fail(ExitCode::FileUnreadable,
                    "cannot read " + path + ": " + unreadableReason(path));
    }
    const auto pageSize = static_cast<std::uint64_t>(layout.pageSize);
    const std::uint64_t pagesNeeded = (load.bodyBytes + pageSize - 1) / pageSize;

    line("header", "accepted (magic \"" + image.headerMagic + "\")");
    line("model", modelHex(image.modelCode));
    line("name", escapeBytes(image.firmwareName));
    line("version", escapeBytes(image.firmwareVersion));
    line("body", std::to_string(load.bodyBytes) + " bytes");
    line("page size", std::to_string(layout.pageSize) + " bytes");
    line("page limit", std::to_string(layout.pageLimit) + " pages");
    line("pages",
         std::to_string(load.ok() ? image.pageCount : static_cast<std::int64_t>(pagesNeeded)));
    if (load.ignoredBytes > 0) {
        line("ignored", std::to_string(load.ignoredBytes) +
                            " bytes past the page limit, all 0xFF (erased flash)");
    }
    line("protocol", protocolPathName(image.modelCode));
    line("programming", programmingProfileName(image.modelCode));
    line("verification", verificationProfileName(image.modelCode));
    const auto refusal = refusalOf(load, image);
    line("upgrade", refusal ? "refused: " + refusal->message : std::string("accepted"));
    std::cout << std::flush;
    if (refusal) {
        return fail(ExitCode::UpgradeWouldRefuse, path + ": the upgrade would refuse this file (" +
                                                      refusal->message + "): " + refusal->reason);
    }
    return static_cast<int>(ExitCode::Ok);
}

}  // namespace flashmere::cli
