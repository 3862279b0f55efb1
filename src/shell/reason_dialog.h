#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;
class QPushButton;

namespace flashmere {

// The message bar's message and the reason beside it, as text the operator
// can select and copy (the tool tip cannot be kept).
class ReasonDialog final : public QDialog {
    Q_OBJECT
  public:
    ReasonDialog(const QString& title, const QString& text, int languageIndex,
                 QWidget* parent = nullptr);

    QPlainTextEdit* textBox() const { return text_; }
    QPushButton* copyButton() const { return copy_; }

  private:
    QPlainTextEdit* text_;
    QPushButton* copy_;
};

}  // namespace flashmere
