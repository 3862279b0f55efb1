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
    {"Next device automatically", "自动更新下一台装置", "自動更新下一台裝置"},
    {"Waiting for the next device ...", "等待下一台装置 ...", "等待下一台裝置 ..."},
    {"Stop waiting", "停止等待", "停止等待"},
    {"Units: %1 ok, %2 not ok", "装置: %1 完成, %2 失败", "裝置: %1 完成, %2 失敗"},
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
