#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace flashmere {

// A .TVB file opens with a 32-byte header, stored scrambled; the body after
// it is plain.
constexpr std::size_t kHeaderSize = 32;

// The text every accepted header starts with.
constexpr std::string_view kHeaderMagic = "TOLVA-V7";

// The fixed scrambling key: header byte i is XORed with headerKey[i mod 8].
constexpr std::array<std::uint8_t, 8> headerKey = {0x5A, 0xC3, 0x1E, 0x77, 0x09, 0xB4, 0xE2, 0x6D};

using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

// XORs the 32 header bytes in place with the key. Applied to a stored header
// it gives the plain one and the other way round.
void decodeHeader(std::span<std::uint8_t, kHeaderSize> header);

// Why a header is turned down. The firmware folder names no operator texts:
// its callers show every refusal as "Firmware file type error!".
enum class HeaderFault {
    None,
    WrongMagic,  // the text at byte 0 is not kHeaderMagic
    TooShort,    // the file ends before the 32 header bytes
};

// What a decoded header says.
struct FirmwareHeader {
    std::string headerMagic;  // first 8 characters of the text at byte 0
    std::uint16_t modelCode = 0;
    std::string firmwareName;     // up to 12 characters
    std::string firmwareVersion;  // up to 4 characters
    // Name and version stay empty for a rejected header; the model code is
    // taken either way.
    HeaderFault fault = HeaderFault::None;

    bool accepted() const { return fault == HeaderFault::None; }
};

// Parses 32 already decoded header bytes.
FirmwareHeader parseHeader(std::span<const std::uint8_t, kHeaderSize> decoded);

// Decodes and parses the start of a file as stored. Fewer than 32 bytes are
// rejected as TooShort with model code 0.
FirmwareHeader readStoredHeader(std::span<const std::uint8_t> fileStart);

// Removes leading and trailing characters 0x00 to 0x20.
std::string trimHeaderText(std::string_view text);

}  // namespace flashmere
