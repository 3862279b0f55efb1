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

// The new captions of the window, in the three languages.
enum class WindowText {
    RecentFiles,
    NoRecentFiles,
    Copy,
    Close,
    Details,
    FileNotInUse,
    SettingsNotUsed,  // %1 the file, %2 why (in English)
};
QString windowText(WindowText text, int languageIndex);

}  // namespace flashmere
