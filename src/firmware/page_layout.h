#pragma once

#include "firmware/model_family.h"

namespace flashmere {

// Largest body a model's layout holds, in bytes.
constexpr int largestImageBytes(PageLayout layout) {
    return layout.pageSize * layout.pageLimit;
}

}  // namespace flashmere
