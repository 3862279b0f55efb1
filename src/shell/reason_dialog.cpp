#include "shell/reason_dialog.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <array>

namespace flashmere {

QString windowText(WindowText text, int languageIndex) {
    // English, Simplified and Traditional Chinese.
    static const std::array<std::array<const char*, 3>, 7> texts = {{
        {"&Recent firmware files", "最近的韧体档案(&R)", "最近的韌體檔案(&R)"},
        {"(none)", "(无)", "(無)"},
        {"&Copy", "复制(&C)", "複製(&C)"},
        {"Close", "关闭", "關閉"},
        {"Details", "详细", "詳細"},
        {"Not in use: Upgrade has no firmware file. Choose one with step 1.",
         "未使用：更新没有韧体档案。请以步骤 1 选择。",
         "未使用：更新沒有韌體檔案。請以步驟 1 選擇。"},
        {"The settings file %1 is not used (%2). It is left as it is: the window starts with "
         "the default settings and stores none.",
         "未使用设定档 %1（%2）。档案保持原样：视窗以预设设定启动，不会储存设定。",
         "未使用設定檔 %1（%2）。檔案保持原樣：視窗以預設設定啟動，不會儲存設定。"},
    }};
    const auto row = static_cast<std::size_t>(text);
    const auto column =
        static_cast<std::size_t>(languageIndex >= 0 && languageIndex < 3 ? languageIndex : 0);
    return QString::fromUtf8(texts[row][column]);
}

ReasonDialog::ReasonDialog(const QString& title, const QString& text, int languageIndex,
                           QWidget* parent)
    : QDialog(parent), text_(new QPlainTextEdit(this)) {
    setWindowTitle(title);
    setObjectName("reasonDialog");
    text_->setObjectName("reasonText");
    text_->setPlainText(text);
    text_->setReadOnly(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setAccessibleName(windowText(WindowText::Details, languageIndex));
    auto* buttons = new QDialogButtonBox(this);
    copy_ = buttons->addButton(windowText(WindowText::Copy, languageIndex),
                               QDialogButtonBox::ActionRole);
    copy_->setObjectName("reasonCopy");
    QPushButton* close = buttons->addButton(windowText(WindowText::Close, languageIndex),
                                            QDialogButtonBox::RejectRole);
    close->setDefault(true);
    connect(copy_, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(text_->toPlainText()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(buttons);
    resize(520, 220);
}

}  // namespace flashmere
