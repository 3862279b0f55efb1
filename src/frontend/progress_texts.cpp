#include "frontend/progress_texts.h"

#include <array>

#include "frontend/message_table.h"

namespace flashmere {
namespace {

using Texts = std::array<const char*, kLanguageCount>;

// clang-format off
constexpr std::array<Texts, static_cast<int>(ProgressText::kCount)> kTexts = {{
    {"page %v of %m \u00B7 %p%   %1 elapsed \u00B7 %2 left",
     "第 %v / %m 页 \u00B7 %p%   已用 %1 \u00B7 剩余 %2",
     "第 %v / %m 頁 \u00B7 %p%   已用 %1 \u00B7 剩餘 %2"},
    {"page %v of %m \u00B7 %p%",
     "第 %v / %m 页 \u00B7 %p%",
     "第 %v / %m 頁 \u00B7 %p%"},
}};
// clang-format on

}  // namespace

const char* progressText(ProgressText text, int languageIndex) {
    if (languageIndex < 0 || languageIndex >= kLanguageCount) {
        languageIndex = kLanguageEnglish;
    }
    return kTexts[static_cast<std::size_t>(text)][static_cast<std::size_t>(languageIndex)];
}

}  // namespace flashmere
