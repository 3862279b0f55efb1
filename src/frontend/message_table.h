#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "operator/message_row.h"

namespace flashmere {

constexpr int kLanguageCount = 3;
constexpr int kLanguageEnglish = 0;
constexpr int kLanguageSimplified = 1;
constexpr int kLanguageTraditional = 2;

// Every text the window and the operations show, in English, Simplified
// Chinese and Traditional Chinese, as UTF-8. Row order is MessageRow's.
class MessageTable {
  public:
    static const MessageTable& instance();

    // The text of a row in a language; an index outside 0..2 reads English.
    const std::string& text(MessageRow row, int languageIndex) const;

  private:
    MessageTable();
    std::array<std::array<std::string, kLanguageCount>, kMessageRowCount> rows_;
};

// The text of a row in the given language.
const std::string& textOf(MessageRow row, int languageIndex);

// Appended to the window caption in every language: an ideographic space
// (U+3000) and the build date in brackets.
const std::string& buildTag();

// The window caption: msgTitle followed by the build tag.
std::string windowCaption(int languageIndex);

// The model list of the About box: "%04X" or "%04X-%04X" per range, joined
// by ", ", lines of at most 40 characters broken between whole entries.
std::string supportedModelList();

// The language names as stored: "English", "ChineseGB", "ChineseBIG5".
std::string_view languageFlagOf(int languageIndex);
// 1 for exactly "ChineseGB", 2 for exactly "ChineseBIG5", 0 for any other.
int languageIndexOf(std::string_view languageFlag);
// The command-line names "en", "zh-CN", "zh-TW" (case-insensitive).
std::optional<int> languageIndexFromOption(std::string_view option);

}  // namespace flashmere
