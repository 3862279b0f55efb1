#include "shell/reason_dialog.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "shell/qt_texts.h"

namespace flashmere {

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
