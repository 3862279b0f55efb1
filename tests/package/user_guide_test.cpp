// The user guide's table of messages holds every row of the message table,
// in all three languages, each with what it means: what the operator should
// do for a message, the role for a caption.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/model_family.h"
#include "frontend/message_table.h"

namespace flashmere {
namespace {

std::string readGuide() {
    std::ifstream in(FLASHMERE_SOURCE_DIR "/docs/USER_GUIDE.md");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> cellsOf(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    for (std::size_t i = 1; i < line.size(); ++i) {  // past the leading '|'
        if (line[i] == '|') {
            cells.push_back(trimmed(cell));
            cell.clear();
        } else {
            cell += line[i];
        }
    }
    return cells;
}

// The lines of the table of messages, by row: table lines whose first cell
// is a row number 0..40.
std::map<int, std::vector<std::string>> messageTableRows(const std::string& guide) {
    std::map<int, std::vector<std::string>> rows;
    std::istringstream lines(guide);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("| ", 0) != 0) {
            continue;
        }
        const auto cells = cellsOf(line);
        if (cells.empty() || cells[0].empty() ||
            cells[0].find_first_not_of("0123456789") != std::string::npos || cells[0].size() > 2) {
            continue;
        }
        const int row = std::stoi(cells[0]);
        if (row < kMessageTableRows && rows.count(row) == 0) {
            rows[row] = cells;
        }
    }
    return rows;
}

// The About text is a lead line and the model list; the guide quotes the
// lead line.
std::string quotedText(TableRow row, int language) {
    const std::string& text = textOf(row, language);
    return trimmed(text.substr(0, text.find('\n')));
}

// The rows the message bar shows.
const std::set<TableRow> kMessageBarRows = {
    MessageRow::msgSelectFile,    CaptionRow::msgRunConnect,    MessageRow::msgLoadFileError,
    MessageRow::msgOpenPortError, MessageRow::msgConnecting,    MessageRow::msgConnectError,
    MessageRow::msgConnectOk,     MessageRow::msgFileTypeError, MessageRow::msgModelOrPinError,
    MessageRow::msgProgramming,   MessageRow::msgProgramError,  MessageRow::msgProgramOk,
    MessageRow::msgVerifying,     MessageRow::msgVerifyError,   MessageRow::msgVerifyOk,
    MessageRow::msgUpgrading,     MessageRow::msgUpgradeOk,
};

constexpr std::size_t kColumns = 6;  // row, three languages, shown in, meaning
constexpr std::size_t kShownIn = 4;
constexpr std::size_t kMeaning = 5;

TEST(UserGuide, HasEveryRowOfTheMessageTableInThreeLanguages) {
    const std::string guide = readGuide();
    ASSERT_FALSE(guide.empty()) << "docs/USER_GUIDE.md is missing or empty";
    const auto rows = messageTableRows(guide);
    for (int i = 0; i < kMessageTableRows; ++i) {
        const auto row = TableRow(i);
        const auto found = rows.find(i);
        if (found == rows.end()) {
            ADD_FAILURE() << "no line for row " << i << " (\"" << quotedText(row, kLanguageEnglish)
                          << "\")";
            continue;
        }
        const auto& cells = found->second;
        if (cells.size() != kColumns) {
            ADD_FAILURE() << "row " << i << " has " << cells.size() << " cells, not " << kColumns;
            continue;
        }
        for (int language = 0; language < kLanguageCount; ++language) {
            EXPECT_NE(cells[static_cast<std::size_t>(1 + language)].find(quotedText(row, language)),
                      std::string::npos)
                << "row " << i << ", language " << language << ": the guide does not quote \""
                << quotedText(row, language) << "\"";
        }
        EXPECT_FALSE(cells[kShownIn].empty()) << "row " << i << ": where it shows";
        EXPECT_GE(cells[kMeaning].size(), 10u) << "row " << i << ": what it means or what to do";
    }
}

// The models that wait for a reboot, and how long, as the model rows say.
TEST(UserGuide, NamesEveryModelThatWaitsForItsReboot) {
    const auto rows = messageTableRows(readGuide());
    ASSERT_EQ(rows.count(static_cast<int>(MessageRow::msgUpgrading)), 1u);
    const std::string& meaning = rows.at(static_cast<int>(MessageRow::msgUpgrading))[kMeaning];
    int waiting = 0;
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        const ModelFamily& family = modelFamilyFor(static_cast<std::uint16_t>(code));
        if (family.rebootSeconds == 0 || family.programming == nullptr) {
            continue;
        }
        ++waiting;
        char named[64];
        std::snprintf(named, sizeof named, "%04X", static_cast<unsigned>(code));
        const auto at = meaning.find(named);
        ASSERT_NE(at, std::string::npos) << named << " waits and is not named";
        const std::string seconds = "(" + std::to_string(family.rebootSeconds) + " seconds)";
        EXPECT_NE(meaning.find(seconds, at), std::string::npos)
            << named << " waits " << family.rebootSeconds << " seconds";
    }
    EXPECT_EQ(waiting, 4);
}

TEST(UserGuide, MarksTheMessageBarTextsAsMessages) {
    const auto rows = messageTableRows(readGuide());
    for (int i = 0; i < kMessageTableRows; ++i) {
        const auto found = rows.find(i);
        if (found == rows.end() || found->second.size() != kColumns) {
            continue;  // reported by the test above
        }
        const bool inBar = found->second[kShownIn].find("message bar") != std::string::npos;
        EXPECT_EQ(inBar, kMessageBarRows.count(TableRow(i)) == 1)
            << "row " << i << " is shown in: " << found->second[kShownIn];
    }
}

TEST(UserGuide, ShowsTheWindowInEveryLanguage) {
    const std::string guide = readGuide();
    for (const char* picture : {"screenshots/window-en.png", "screenshots/window-zh-CN.png",
                                "screenshots/window-zh-TW.png"}) {
        EXPECT_NE(guide.find(picture), std::string::npos) << picture;
        std::ifstream file(std::string(FLASHMERE_SOURCE_DIR "/docs/") + picture);
        EXPECT_TRUE(file.good()) << picture << " is not in docs/";
    }
}

}  // namespace
}  // namespace flashmere
