#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace flashmere {

constexpr int kPageSlots = 4096;
constexpr int kPageSlotSize = 260;

// Page size and page limit of a model family.
struct PageLayout {
    int pageSize;   // P: 256 or 128 bytes
    int pageLimit;  // L: pages at most
};

// The layout row of a model code; a code in no row gets 256 x 128.
PageLayout pageLayoutFor(std::uint16_t modelCode);

// The chosen firmware file: its header fields and the page store.
struct FirmwareImage {
    FirmwareImage();

    std::string firmwarePath;      // full path chosen by the operator
    std::string firmwareFileName;  // file name without directories
    std::string headerMagic;
    std::uint16_t modelCode = 0;
    std::string firmwareName;     // at most 12 characters
    std::string firmwareVersion;  // at most 4 characters

    // 4096 slots of 260 bytes, allocated once; page i lives in slot i.
    std::unique_ptr<std::array<std::array<std::uint8_t, kPageSlotSize>, kPageSlots>> pages;
    std::int32_t pageCount = 0;

    // The first `size` bytes of slot i (size at most kPageSlotSize).
    std::span<const std::uint8_t> page(int i, int size) const;
};

// Refills the page store from the body of firmwarePath with the layout of
// modelCode: every slot's first 256 bytes become 0xFF, then the body fills
// pages of P bytes up to the limit L. Returns false (pageCount set to 0) when
// the file cannot be opened or read.
bool loadFirmwareImage(FirmwareImage& image);

}  // namespace flashmere
