// `pack`: builds a firmware file from a plain body and the header fields.
#include <cstdio>
#include <iostream>
#include <vector>

#include "commands.h"
#include "device/model_tables.h"
#include "firmware/firmware_writer.h"
#include "firmware/page_layout.h"
#include "firmware/regular_file.h"

namespace flashmere::cli {

namespace {

// Reads at most `limit` + 1 bytes, enough to tell a body that is too long.
// Only a regular file is read: a FIFO or device would never end or wait.
std::optional<std::vector<std::uint8_t>> readBody(const std::string& path, std::size_t limit) {
    const RegularFile file = openRegularFile(path);
    if (!file.file) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> body(limit + 1);
    const std::size_t got = std::fread(body.data(), 1, body.size(), file.file.get());
    if (std::ferror(file.file.get()) != 0) {
        return std::nullopt;
    }
    body.resize(got);
    return body;
}

}  // namespace

int runPackCommand(const PackArgs& o) {
    const auto model = parseModelCode(o.model);
    if (!model) {
        return fail(ExitCode::Usage, "--model \"" + o.model +
                                         "\" is not a model code: give 1 to 4 hexadecimal "
                                         "digits, such as 8401 or 0x8401");
    }
    if (auto problem = checkHeaderText(o.name, o.version)) {
        return fail(ExitCode::Usage, *problem);
    }
    const PageLayout layout = pageLayoutFor(*model);
    const auto capacity = static_cast<std::size_t>(largestImageBytes(layout));
    const auto body = readBody(o.body, capacity);
    if (!body) {
        return fail(ExitCode::FileUnreadable,
                    "cannot read " + o.body + ": " + unreadableReason(o.body));
    }
    if (body->empty()) {
        return fail(ExitCode::Usage, o.body + " is empty; a firmware file needs at least one byte");
    }
    if (body->size() > capacity) {
        return fail(ExitCode::Usage, o.body + " is longer than the " + std::to_string(capacity) +
                                         " bytes that model " + modelHex(*model) + " takes (" +
                                         std::to_string(layout.pageLimit) + " pages of " +
                                         std::to_string(layout.pageSize) + " bytes)");
    }
    const std::size_t pages = (body->size() + static_cast<std::size_t>(layout.pageSize) - 1) /
                              static_cast<std::size_t>(layout.pageSize);
    // The upgrade would refuse such a file at programming; it is not written.
    if (auto refusal = programmingRefusal(*model, static_cast<int>(pages))) {
        return fail(ExitCode::Usage, o.body + ": " + *refusal);
    }
    const WriteResult written = writeFirmwareFile(o.out, *model, o.name, o.version, *body);
    if (!written.ok) {
        return fail(ExitCode::CannotWrite, written.error);
    }
    std::cout << "wrote " << o.out << ": model " << modelHex(*model) << ", name \"" << o.name
              << "\", version \"" << o.version << "\", " << body->size() << " bytes, " << pages
              << (pages == 1 ? " page\n" : " pages\n");
    return static_cast<int>(ExitCode::Ok);
}

}  // namespace flashmere::cli
