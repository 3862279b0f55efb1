#include "firmware/firmware_header.h"

#include <algorithm>

namespace flashmere {

void decodeHeader(std::span<std::uint8_t, kHeaderSize> header) {
    for (std::size_t i = 0; i < header.size(); ++i) {
        header[i] = static_cast<std::uint8_t>(header[i] ^ headerKey[i % headerKey.size()]);
    }
}

std::string trimHeaderText(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && blank(text[begin])) {
        ++begin;
    }
    while (end > begin && blank(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

namespace {

// The text that starts at `from` and ends at the first NUL or at the end of
// the header, whichever comes first.
std::string_view textAt(std::span<const std::uint8_t, kHeaderSize> bytes, std::size_t from) {
    const auto* begin = reinterpret_cast<const char*>(bytes.data()) + from;
    const std::size_t room = kHeaderSize - from;
    const auto* nul = std::find(begin, begin + room, '\0');
    return std::string_view(begin, static_cast<std::size_t>(nul - begin));
}

}  // namespace

FirmwareHeader parseHeader(std::span<const std::uint8_t, kHeaderSize> decoded) {
    FirmwareHeader header;
    header.modelCode = static_cast<std::uint16_t>(decoded[8] << 8 | decoded[9]);
    header.headerMagic = std::string(textAt(decoded, 0).substr(0, kHeaderMagic.size()));
    if (header.headerMagic != kHeaderMagic) {
        header.fault = HeaderFault::WrongMagic;
        return header;
    }
    // The name and version text fills bytes 16..31 and may end early at a NUL.
    // Positions count from its first character that is not a blank.
    const std::string text = trimHeaderText(textAt(decoded, 16));
    const std::string_view view(text);
    header.firmwareName = trimHeaderText(view.substr(0, 12));
    if (view.size() > 12) {
        header.firmwareVersion = trimHeaderText(view.substr(12, 4));
    }
    return header;
}

FirmwareHeader readStoredHeader(std::span<const std::uint8_t> fileStart) {
    if (fileStart.size() < kHeaderSize) {
        FirmwareHeader header;
        header.fault = HeaderFault::TooShort;
        return header;
    }
    HeaderBytes bytes;
    std::copy_n(fileStart.begin(), kHeaderSize, bytes.begin());
    decodeHeader(bytes);
    return parseHeader(bytes);
}

}  // namespace flashmere
