#pragma once

#include <cstdint>
#include <span>

#include "firmware/firmware_image.h"

namespace flashmere {

// One row of the page layout table: the model codes it names, the layout
// they take, and whether the window used to be serviced while such an image
// loaded (kept for reference; the bulk load is too quick to need it).
struct PageLayoutRow {
    std::span<const std::uint16_t> codes;  // empty for the final catch-all row
    PageLayout layout;
    bool responsiveLoad;
};

// Every row in the order it is tested; the first row naming a code applies
// and the last row (no codes) takes every other code.
std::span<const PageLayoutRow> pageLayoutTable();

// The row that applies to a model code.
const PageLayoutRow& pageLayoutRowFor(std::uint16_t modelCode);

// Largest body a model's layout holds, in bytes.
constexpr int largestImageBytes(PageLayout layout) {
    return layout.pageSize * layout.pageLimit;
}

}  // namespace flashmere
