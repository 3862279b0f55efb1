#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "firmware/firmware_header.h"

namespace flashmere {

constexpr std::size_t kNameLength = 12;
constexpr std::size_t kVersionLength = 4;

// Why a name or version cannot go into a header, or empty when both can.
// The name must be 1 to 12 printable ASCII characters, the version 0 to 4;
// neither may start or end with a blank, because the reader trims the text
// and would shift or lose characters.
std::optional<std::string> checkHeaderText(std::string_view name, std::string_view version);

// The plain (not yet scrambled) header: magic, model code big-endian, six
// zero bytes, the name padded with blanks to 12 characters, then the version;
// unused bytes are NUL. Does not check its text.
HeaderBytes makePlainHeader(std::uint16_t modelCode, std::string_view name,
                            std::string_view version);

struct WriteResult {
    bool ok = false;
    std::string error;  // why it failed, for the operator
};

// Writes a .TVB file: the header scrambled, the body plain. The bytes go to a
// new file beside `path` that replaces it only once complete, so a failure
// never leaves a partial file under `path`. A symlink at `path` is written
// through: its target is replaced and the link stays. Only a regular file is
// replaced; a folder, device, FIFO or socket is refused and left alone.
WriteResult writeFirmwareFile(const std::string& path, std::uint16_t modelCode,
                              std::string_view name, std::string_view version,
                              std::span<const std::uint8_t> body);

// The same for a header given as plain bytes, whatever they hold.
WriteResult writeFirmwareFileRaw(const std::string& path, const HeaderBytes& plainHeader,
                                 std::span<const std::uint8_t> body);

}  // namespace flashmere
