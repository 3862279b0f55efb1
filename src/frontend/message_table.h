#pragma once

#include <array>
#include <compare>
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

// The window's own captions in the message table, between the rows of the
// operations' messages (MessageRow): its title, menus, labels, buttons, note
// and About box, and the prompt after a file was chosen.
enum class CaptionRow : int {
    msgTitle = 0,
    msgRunConnect = 2,
    msgMenuLanguage = 3,
    msgMenuFile = 4,
    msgMenuAbout = 5,
    msgAboutTitle = 6,
    msgMenuExit = 7,
    msgMenuLanguageNames = 8,
    msgLabelFile = 9,
    msgVerifyOption = 20,
    msgSkipErrorOption = 21,
    msgSelectButton = 27,
    msgUpgradeButton = 28,
    msgPageCom = 29,
    msgPageNet = 30,
    msgLabelSpeed = 31,
    msgLabelPort = 32,
    msgLabelModel = 33,
    msgLabelName = 34,
    msgLabelPin = 35,
    msgLabelSn = 36,
    msgLabelVer = 37,
    msgNoteTitle = 38,
    msgNoteText = 39,
    msgAboutText = 40,
};

constexpr int kMessageTableRows = 41;

// A row of the message table: an operation's message or a caption, by its
// fixed index.
struct TableRow {
    constexpr TableRow(MessageRow row) : index(static_cast<int>(row)) {}
    constexpr TableRow(CaptionRow row) : index(static_cast<int>(row)) {}
    constexpr explicit TableRow(int rowIndex) : index(rowIndex) {}
    auto operator<=>(const TableRow&) const = default;

    int index;
};

// Every text the window and the operations show, in English, Simplified
// Chinese and Traditional Chinese, as UTF-8, in the rows' fixed order.
class MessageTable {
  public:
    static const MessageTable& instance();

    // The text of a row in a language; an index outside 0..2 reads English.
    const std::string& text(TableRow row, int languageIndex) const;

  private:
    MessageTable();
    std::array<std::array<std::string, kLanguageCount>, kMessageTableRows> rows_;
};

// The text of a row in the given language.
const std::string& textOf(TableRow row, int languageIndex);

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
