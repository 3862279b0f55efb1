#include "shell/qt_texts.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTranslator>
#include <atomic>
#include <cstring>

namespace flashmere {
namespace {

std::atomic<int> qtLanguage{kLanguageEnglish};

// Qt's own texts by their context and English source, as the window's
// catalogue has them.
struct QtText {
    const char* context;
    const char* source;
    WindowText text;
};
constexpr QtText kQtTexts[] = {
    {"QPlatformTheme", "OK", WindowText::ButtonOk},
    {"QPlatformTheme", "&Yes", WindowText::ButtonYes},
    {"QPlatformTheme", "&No", WindowText::ButtonNo},
    {"QGnomeTheme", "&OK", WindowText::ButtonOk},
    {"QLineEdit", "&Undo", WindowText::EditUndo},
    {"QLineEdit", "&Redo", WindowText::EditRedo},
    {"QLineEdit", "Cu&t", WindowText::EditCut},
    {"QLineEdit", "&Copy", WindowText::Copy},
    {"QLineEdit", "&Paste", WindowText::EditPaste},
    {"QLineEdit", "Delete", WindowText::EditDelete},
    {"QLineEdit", "Select All", WindowText::EditSelectAll},
    {"QWidgetTextControl", "&Undo", WindowText::EditUndo},
    {"QWidgetTextControl", "&Redo", WindowText::EditRedo},
    {"QWidgetTextControl", "Cu&t", WindowText::EditCut},
    {"QWidgetTextControl", "&Copy", WindowText::Copy},
    {"QWidgetTextControl", "&Paste", WindowText::EditPaste},
    {"QWidgetTextControl", "Delete", WindowText::EditDelete},
    {"QWidgetTextControl", "Select All", WindowText::EditSelectAll},
};

class CatalogueTranslator final : public QTranslator {
  public:
    using QTranslator::QTranslator;
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char* /*disambiguation*/,
                      int /*n*/) const override {
        const int language = qtLanguage.load();
        if (language == kLanguageEnglish || context == nullptr || source == nullptr) {
            return {};
        }
        for (const QtText& entry : kQtTexts) {
            if (std::strcmp(entry.context, context) == 0 &&
                std::strcmp(entry.source, source) == 0) {
                return windowText(entry.text, language);
            }
        }
        return {};
    }
};

}  // namespace

QString windowText(WindowText text, int languageIndex) {
    return QString::fromStdString(textOf(text, languageIndex));
}

void useWindowLanguage(int languageIndex) {
    qtLanguage = languageIndex;
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    // Once per application, owned by it (a new application gets its own).
    static QPointer<QTranslator> installed;
    if (installed == nullptr || installed->parent() != app) {
        installed = new CatalogueTranslator(app);
        QCoreApplication::installTranslator(installed);
    }
}

int windowLanguage() {
    return qtLanguage.load();
}

}  // namespace flashmere
