#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "device/model_tables.h"
#include "frontend/message_table.h"
#include "frontend/window_texts.h"

namespace flashmere {
namespace {

TEST(MessageTable, EveryRowHasTextInEveryLanguage) {
    for (int row = 0; row < kMessageTableRows; ++row) {
        for (int lang = 0; lang < kLanguageCount; ++lang) {
            EXPECT_FALSE(textOf(TableRow(row), lang).empty())
                << "row " << row << " language " << lang;
        }
    }
}

struct Expected {
    TableRow row;
    int lang;
    const char* text;
};

TEST(MessageTable, TextsAsWritten) {
    const Expected cases[] = {
        {CaptionRow::msgTitle, 2, "Flashmere V0813"},
        {MessageRow::msgSelectFile, 1, "选择韧体档案"},
        {CaptionRow::msgRunConnect, 0, "Run connect device"},
        {CaptionRow::msgMenuExit, 0, "E&xit"},
        {CaptionRow::msgMenuLanguageNames, 1, "&Simplified Chinese(简体)"},
        {CaptionRow::msgMenuLanguageNames, 2, "&Traditional Chinese(繁體)"},
        {MessageRow::msgFileTypeError, 2, "韌體檔案格式與機型不符!"},
        {MessageRow::msgOpenPortError, 1, "开启通讯阜错误!"},
        {MessageRow::msgProgramError, 0, "Program/Download error!"},
        {MessageRow::msgUpgradeOk, 2, "更新完成."},
        {CaptionRow::msgUpgradeButton, 2, "2. 更新(&U)"},
        {CaptionRow::msgPageCom, 2, "串列"},
        {CaptionRow::msgPageNet, 1, "网路"},
        {CaptionRow::msgLabelPort, 2, "連接阜"},
        {CaptionRow::msgLabelPin, 1, "密钥"},
        {CaptionRow::msgNoteTitle, 0, "Note !"},
        {CaptionRow::msgNoteText, 2,
         "注意：更新產品韌體會影響產品上的部分資料，為確保資料安全，建議您在更新韌體前先備份您的資"
         "料。"},
    };
    for (const Expected& e : cases) {
        EXPECT_EQ(textOf(e.row, e.lang), e.text) << e.row.index;
    }
}

TEST(MessageTable, AboutTextLeadsWithItsLineAndListsTheModels) {
    const std::string en = textOf(CaptionRow::msgAboutText, 0);
    EXPECT_EQ(en.rfind("This upgrade tool support: \n", 0), 0u);
    EXPECT_NE(en.find("0101-010D"), std::string::npos);
    EXPECT_NE(en.find("8400-840F"), std::string::npos);
    EXPECT_NE(en.find("8921-8922"), std::string::npos);
    EXPECT_EQ(textOf(CaptionRow::msgAboutText, 2).rfind("本更新軟體支援: \n", 0), 0u);
    // The same list in every language.
    const std::string list = supportedModelList();
    for (int lang = 0; lang < kLanguageCount; ++lang) {
        const std::string& text = textOf(CaptionRow::msgAboutText, lang);
        ASSERT_GE(text.size(), list.size());
        EXPECT_EQ(text.substr(text.size() - list.size()), list);
    }
    // Short lines of whole entries, so the box never breaks one inside.
    std::istringstream lines(list);
    std::string line;
    int lineCount = 0;
    while (std::getline(lines, line)) {
        ++lineCount;
        EXPECT_LE(line.size(), 40u) << line;
        std::istringstream entries(line);
        std::string entry;
        while (std::getline(entries, entry, ',')) {
            if (!entry.empty() && entry.front() == ' ') {
                entry.erase(0, 1);
            }
            EXPECT_TRUE(entry.size() == 4 || (entry.size() == 9 && entry[4] == '-')) << line;
        }
    }
    EXPECT_GT(lineCount, 1);
}

TEST(MessageTable, CaptionEndsWithTheBuildTag) {
    EXPECT_EQ(buildTag(), "\xE3\x80\x80[2017-07-20]");
    EXPECT_EQ(windowCaption(2), "Flashmere V0813\xE3\x80\x80[2017-07-20]");
}

TEST(MessageTable, OutOfRangeLanguageReadsEnglish) {
    EXPECT_EQ(textOf(MessageRow::msgVerifyOk, 7), "Verify ok.");
    EXPECT_EQ(textOf(MessageRow::msgVerifyOk, -1), "Verify ok.");
}

TEST(MessageTable, LanguageNames) {
    EXPECT_EQ(languageIndexOf("ChineseGB"), 1);
    EXPECT_EQ(languageIndexOf("ChineseBIG5"), 2);
    EXPECT_EQ(languageIndexOf("chinesegb"), 0);  // compared case-sensitively
    EXPECT_EQ(languageIndexOf(""), 0);
    EXPECT_EQ(languageFlagOf(1), "ChineseGB");
    EXPECT_EQ(languageIndexFromOption("zh-TW"), 2);
    EXPECT_EQ(languageIndexFromOption("ZH-cn"), 1);
    EXPECT_EQ(languageIndexFromOption("en"), 0);
    EXPECT_FALSE(languageIndexFromOption("fr").has_value());
}

// The places of the values (%1, %v, ...) and the accelerator's letter: what a
// translation must keep, or the window shows a raw place or loses a key.
std::multiset<std::string> placesOf(const std::string& text) {
    static const std::regex place("%[1-9vmp]");
    std::multiset<std::string> places;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), place);
         it != std::sregex_iterator(); ++it) {
        places.insert(it->str());
    }
    return places;
}
char acceleratorOf(const std::string& text) {
    const auto at = text.find('&');
    return at == std::string::npos || at + 1 >= text.size()
               ? '\0'
               : static_cast<char>(std::toupper(static_cast<unsigned char>(text[at + 1])));
}
bool hasChinese(const std::string& text) {
    // A UTF-8 lead byte of U+3000..U+9FFF or of a full-width form.
    for (unsigned char c : text) {
        if (c == 0xE3 || (c >= 0xE4 && c <= 0xE9) || c == 0xEF) {
            return true;
        }
    }
    return false;
}

// Every window text in three languages: the Chinese ones written in
// Chinese (but the names that stay as they are), keeping every place and
// the accelerator; Simplified and Traditional each in their own script
// wherever their characters differ.
TEST(WindowTexts, EveryTextInThreeLanguagesKeepingItsPlacesAndKey) {
    const std::set<WindowText> sameInEveryLanguage = {WindowText::ColumnId,
                                                      WindowText::ColumnSha256};
    int differentScripts = 0;
    for (int row = 0; row < kWindowTextCount; ++row) {
        const auto text = static_cast<WindowText>(row);
        const std::string& en = textOf(text, kLanguageEnglish);
        const std::string& sc = textOf(text, kLanguageSimplified);
        const std::string& tc = textOf(text, kLanguageTraditional);
        ASSERT_FALSE(en.empty()) << row;
        for (const std::string* zh : {&sc, &tc}) {
            EXPECT_FALSE(zh->empty()) << row;
            EXPECT_EQ(placesOf(*zh), placesOf(en)) << row << ": " << *zh;
            EXPECT_EQ(acceleratorOf(*zh), acceleratorOf(en)) << row << ": " << *zh;
            if (sameInEveryLanguage.count(text) != 0) {
                EXPECT_EQ(*zh, en) << row;
            } else {
                EXPECT_NE(*zh, en) << row;
                EXPECT_TRUE(hasChinese(*zh)) << row << ": " << *zh;
            }
        }
        differentScripts += sc != tc ? 1 : 0;
    }
    EXPECT_GT(differentScripts, kWindowTextCount * 3 / 4);
    // A few by their words: the next step after a broken run names the
    // button as the window shows it.
    EXPECT_NE(textOf(WindowText::BootLoaderAdvice, kLanguageSimplified).find("“2. 更新”"),
              std::string::npos);
    EXPECT_NE(textOf(WindowText::BootLoaderAdvice, kLanguageTraditional).find("「2. 更新」"),
              std::string::npos);
    EXPECT_EQ(textOf(WindowText::BarPages, 7), "page %v of %m \u00B7 %p%");
}

}  // namespace
}  // namespace flashmere
