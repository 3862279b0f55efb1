#include "frontend/message_table.h"

#include "device/model_tables.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace flashmere {
namespace {

struct RowTexts {
    TableRow row;
    const char* english;
    const char* simplified;
    const char* traditional;
};

// The About box text starts with this line in each language; the model list
// follows on the next lines.
constexpr const char* kAboutLead[kLanguageCount] = {
    "This upgrade tool support: ",
    "本更新软体支援: ",
    "本更新軟體支援: ",
};

// clang-format off
constexpr RowTexts kRows[] = {
    {CaptionRow::msgTitle, "Flashmere V0813", "Flashmere V0813", "Flashmere V0813"},
    {MessageRow::msgSelectFile, "Select firmware file", "选择韧体档案", "選擇韌體檔案"},
    {CaptionRow::msgRunConnect, "Run connect device", "执行连线装置", "執行連線裝置"},
    {CaptionRow::msgMenuLanguage, "&Language", "语言(&Language)", "語言(&Language)"},
    {CaptionRow::msgMenuFile, "&File", "档案(&F)", "檔案(&F)"},
    {CaptionRow::msgMenuAbout, "&About", "关于(&A)", "關於(&A)"},
    {CaptionRow::msgAboutTitle, "About", "关于", "關於"},
    {CaptionRow::msgMenuExit, "E&xit", "离开(&x)", "離開(&x)"},
    {CaptionRow::msgMenuLanguageNames, "&English", "&Simplified Chinese(简体)", "&Traditional Chinese(繁體)"},
    {CaptionRow::msgLabelFile, "File", "档名", "檔名"},
    {MessageRow::msgLoadFileError, "Load firmware file error!", "载入韧体档案错误!", "載入韌體檔案錯誤!"},
    {MessageRow::msgOpenPortError, "Open communication port error!", "开启通讯阜错误!", "開啟通訊阜錯誤!"},
    {MessageRow::msgConnecting, "Connecting device ...", "连线装置中 ...", "連線裝置中 ..."},
    {MessageRow::msgConnectError, "Connect device error!", "连线装置错误!", "連線裝置錯誤!"},
    {MessageRow::msgConnectOk, "Connect device ok.", "连线装置完成.", "連線裝置完成."},
    {MessageRow::msgFileTypeError, "Firmware file type error!", "韧体档案格式与机型不符!", "韌體檔案格式與機型不符!"},
    {MessageRow::msgModelOrPinError, "Model or PIN error!", "机型或密钥错误!", "機型或密鑰錯誤!"},
    {MessageRow::msgProgramming, "Programming ...", "烧录载入中 ...", "燒錄載入中 ..."},
    {MessageRow::msgProgramError, "Program/Download error!", "烧录载入错误!", "燒錄載入錯誤!"},
    {MessageRow::msgProgramOk, "Program/Download ok.", "烧录载入完成.", "燒錄載入完成."},
    {CaptionRow::msgVerifyOption, "Verify", "检查", "檢查"},
    {CaptionRow::msgSkipErrorOption, "Skip error", "忽略错误", "忽略錯誤"},
    {MessageRow::msgVerifying, "Verifying ...", "检查中 ...", "檢查中 ..."},
    {MessageRow::msgVerifyError, "Verify error!", "检查错误!", "檢查錯誤!"},
    {MessageRow::msgVerifyOk, "Verify ok.", "检查完成.", "檢查完成."},
    {MessageRow::msgUpgrading, "Upgrading ...", "更新中 ...", "更新中 ..."},
    {MessageRow::msgUpgradeOk, "Upgrade ok.", "更新完成.", "更新完成."},
    {CaptionRow::msgSelectButton, "1. &Select firmware file", "1. 选择韧体档案(&S)", "1. 選擇韌體檔案(&S)"},
    {CaptionRow::msgUpgradeButton, "2. &Upgrade", "2. 更新(&U)", "2. 更新(&U)"},
    {CaptionRow::msgPageCom, "COM", "串列", "串列"},
    {CaptionRow::msgPageNet, "NET", "网路", "網路"},
    {CaptionRow::msgLabelSpeed, "Speed", "速率", "速率"},
    {CaptionRow::msgLabelPort, "Port", "连接阜", "連接阜"},
    {CaptionRow::msgLabelModel, "Model", "机型", "機型"},
    {CaptionRow::msgLabelName, "Name", "名称", "名稱"},
    {CaptionRow::msgLabelPin, "PIN", "密钥", "密鑰"},
    {CaptionRow::msgLabelSn, "S/N", "序号", "序號"},
    {CaptionRow::msgLabelVer, "VER", "版本", "版本"},
    {CaptionRow::msgNoteTitle, "Note !", "注意!", "注意!"},
    {CaptionRow::msgNoteText,
     "Upgrading the firmware of the Product will lost some data on the Product. To ensure data "
     "security, it is recommended that you back up your data before update.",
     "注意：更新产品韧体会影响产品上的部分资料，为确保资料安全，建议您在更新韧体前先备份您的资料。",
     "注意：更新產品韌體會影響產品上的部分資料，為確保資料安全，建議您在更新韌體前先備份您的資料。"},
    {CaptionRow::msgAboutText, nullptr, nullptr, nullptr},  // lead line + model list, built below
};

// clang-format on

static_assert(std::size(kRows) == kMessageTableRows, "one entry per message row");

// Lines of the model list stay this short, so the About box never has to
// break one inside; lines break between whole entries.
constexpr std::size_t kModelLineWidth = 40;

}  // namespace

std::string supportedModelList() {
    std::string list;
    std::size_t lineLength = 0;
    for (const ModelCodeRange& range : knownModelRanges()) {
        char text[16];
        if (range.first == range.last) {
            std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(range.first));
        } else {
            std::snprintf(text, sizeof text, "%04X-%04X", static_cast<unsigned>(range.first),
                          static_cast<unsigned>(range.last));
        }
        const std::size_t length = std::strlen(text);
        if (lineLength > 0 && lineLength + 2 + length > kModelLineWidth) {
            list += "\n";
            lineLength = 0;
        } else if (lineLength > 0) {
            list += ", ";
            lineLength += 2;
        }
        list += text;
        lineLength += length;
    }
    return list;
}

MessageTable::MessageTable() {
    for (int i = 0; i < kMessageTableRows; ++i) {
        const RowTexts& entry = kRows[i];
        // The table above is written in row order; a slip would show the
        // wrong text, so the order is checked once here.
        if (entry.row.index != i) {
            std::fprintf(stderr, "message table out of order at row %d\n", i);
            std::abort();
        }
        if (entry.row == CaptionRow::msgAboutText) {
            const std::string models = supportedModelList();
            for (int lang = 0; lang < kLanguageCount; ++lang) {
                rows_[i][lang] = std::string(kAboutLead[lang]) + "\n" + models;
            }
            continue;
        }
        rows_[i][0] = entry.english;
        rows_[i][1] = entry.simplified;
        rows_[i][2] = entry.traditional;
    }
}

const MessageTable& MessageTable::instance() {
    static const MessageTable table;
    return table;
}

const std::string& MessageTable::text(TableRow row, int languageIndex) const {
    int index = row.index;
    if (index < 0 || index >= kMessageTableRows) {
        index = static_cast<int>(CaptionRow::msgTitle);
    }
    if (languageIndex < 0 || languageIndex >= kLanguageCount) {
        languageIndex = kLanguageEnglish;
    }
    return rows_[index][languageIndex];
}

const std::string& textOf(TableRow row, int languageIndex) {
    return MessageTable::instance().text(row, languageIndex);
}

const std::string& buildTag() {
    static const std::string tag = "\u3000[2017-07-20]";
    return tag;
}

std::string windowCaption(int languageIndex) {
    return textOf(CaptionRow::msgTitle, languageIndex) + buildTag();
}

std::string_view languageFlagOf(int languageIndex) {
    switch (languageIndex) {
        case kLanguageSimplified:
            return "ChineseGB";
        case kLanguageTraditional:
            return "ChineseBIG5";
        default:
            return "English";
    }
}

int languageIndexOf(std::string_view languageFlag) {
    if (languageFlag == "ChineseGB") {
        return kLanguageSimplified;
    }
    if (languageFlag == "ChineseBIG5") {
        return kLanguageTraditional;
    }
    return kLanguageEnglish;
}

std::optional<int> languageIndexFromOption(std::string_view option) {
    std::string lower;
    for (char c : option) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (lower == "en") {
        return kLanguageEnglish;
    }
    if (lower == "zh-cn") {
        return kLanguageSimplified;
    }
    if (lower == "zh-tw") {
        return kLanguageTraditional;
    }
    return std::nullopt;
}

}  // namespace flashmere
