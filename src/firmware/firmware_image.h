#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/firmware_header.h"
#include "firmware/model_family.h"

namespace flashmere {

// Page indices run from 0 to kPageSlots - 1; a page holds at most
// kPageSlotSize bytes.
constexpr int kPageSlots = 4096;
constexpr int kPageSlotSize = 260;

// The pages a load read, kPageSlotSize bytes each, page i at
// i * kPageSlotSize; bytes the file did not fill are 0xFF. Never changed
// once loaded, so any number of runs on any threads may read it.
using PageStore = std::vector<std::uint8_t>;

// The chosen firmware file: its header fields and the page store. A copy
// shares the store: a fleet gives every device of one file the same pages.
struct FirmwareImage {
    std::string firmwarePath;      // full path chosen by the operator
    std::string firmwareFileName;  // file name without directories
    std::string headerMagic;
    std::uint16_t modelCode = 0;
    std::string firmwareName;     // at most 12 characters
    std::string firmwareVersion;  // at most 4 characters
    // The 32 header bytes as stored, when the chosen file's header was
    // accepted; the load insists on finding them again.
    std::optional<HeaderBytes> selectedHeader;
    // What the choice saw of the file: its size and the SHA-256 of the bytes
    // a load reads into pages (the header and the body up to the model's
    // largest image). A file cut, grown or changed since is refused.
    std::uint64_t selectedFileBytes = 0;
    std::string selectedPagesSha256;

    // The pages of the last load, as many as it filled; none before a load
    // and after a refused one.
    std::shared_ptr<const PageStore> pages;
    std::int32_t pageCount = 0;
    // SHA-256 of every byte the last load read (the whole file, header
    // included), as lower-case hex; empty until a load succeeds.
    std::string loadedSha256;

    // The first `size` bytes of page i (size at most kPageSlotSize). A page
    // the load did not fill reads as erased flash, 0xFF.
    std::span<const std::uint8_t> page(int i, int size) const;
};

// Why a load refused the file; every refusal leaves no pages.
enum class LoadFailure {
    None,
    NotSelected,     // no accepted header was chosen
    NotRegularFile,  // a folder, FIFO, device or socket
    CannotOpen,      // missing, no permission (systemError says which)
    ReadError,       // the read itself failed (systemError)
    HeaderChanged,   // the file no longer starts with the header chosen
    ContentChanged,  // same header, other size or bytes than at the choice
    EmptyBody,       // nothing after the header
    BodyTooLong,     // bytes past the page limit that are not all 0xFF
};

struct ImageLoad {
    LoadFailure failure = LoadFailure::None;
    int systemError = 0;
    std::uint64_t bodyBytes = 0;     // as far as the load could tell
    std::uint64_t capacity = 0;      // page limit times page size of the model
    std::uint64_t ignoredBytes = 0;  // 0xFF bytes past the page limit, left out
    std::uint64_t fileBytes = 0;     // the file's size now, header included
    std::uint64_t chosenBytes = 0;   // its size when it was chosen

    bool ok() const { return failure == LoadFailure::None; }
    explicit operator bool() const { return ok(); }
};

// Refills the page store from the body of firmwarePath with the layout of
// modelCode: the body fills pages of P bytes up to the limit L, and every
// byte it does not fill reads 0xFF. The file must still start with the
// header chosen, hold at least one body byte, hold nothing past L pages but
// 0xFF (erased flash, left out and counted), and have the size and bytes the
// choice saw. Any refusal sets pageCount to 0, so that nothing can be
// written from a failed load.
ImageLoad loadFirmwareImage(FirmwareImage& image);

// The refusal in words for the operator ("the file holds 7232 bytes more
// than ..."); for a load that went through, a note on the bytes left out, or
// empty when none were.
std::string describeImageLoad(const ImageLoad& load, std::uint16_t modelCode);

}  // namespace flashmere
