#include "shell/language_font.h"

#include <QPalette>
#include <QWidget>
#include <charconv>
#include <cstring>

#include "frontend/message_table.h"

namespace flashmere {
namespace {

constexpr LanguageFont kFonts[kLanguageCount] = {
    {"MS Sans Serif", "0", "10", "0", "0x00000000"},
    {"宋体", "134", "12", "0", "0x00000000"},
    {"細明體", "136", "12", "0", "0x00000000"},
};

// Faces found on the machines we ship to, best first.
const QStringList& latinFaces() {
    static const QStringList faces = {"Microsoft Sans Serif", "Liberation Sans", "Arial",
                                      "DejaVu Sans Condensed", "DejaVu Sans"};
    return faces;
}
const QStringList& cjkFaces() {
    static const QStringList faces = {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans CJK TC",
                                      "AR PL UMing CN", "Droid Sans Fallback"};
    return faces;
}

int numberFromText(const char* text, int fallback) {
    int value = 0;
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, value);
    return result.ec == std::errc() && result.ptr == end ? value : fallback;
}

}  // namespace

const LanguageFont& languageFont(int languageIndex) {
    if (languageIndex < 0 || languageIndex >= kLanguageCount) {
        languageIndex = kLanguageEnglish;
    }
    return kFonts[languageIndex];
}

QStringList faceFamilies(const QString& designFace, int charSet) {
    QStringList families{designFace};
    if (charSet == 134) {
        families << "SimSun";
        families << cjkFaces();
    } else if (charSet == 136) {
        families << "MingLiU";
        families << cjkFaces();
    } else {
        families << latinFaces();
        families << cjkFaces();
    }
    return families;
}

void installFaceSubstitutions() {
    QStringList latin = latinFaces();
    latin << cjkFaces();
    QFont::insertSubstitutions("MS Sans Serif", latin);
    QFont::insertSubstitutions("Microsoft Sans Serif", latin.mid(1));
    QFont::insertSubstitutions(QString::fromUtf8("宋体"), cjkFaces());
    QFont::insertSubstitutions(QString::fromUtf8("細明體"), cjkFaces());
    QFont::insertSubstitutions("SimSun", cjkFaces());
    QFont::insertSubstitutions("MingLiU", cjkFaces());
}

QColor colourFromText(const char* text) {
    if (std::strncmp(text, "0x", 2) != 0 || std::strlen(text) != 10) {
        return Qt::black;
    }
    unsigned value = 0;
    const char* end = text + 10;
    const auto result = std::from_chars(text + 2, end, value, 16);
    if (result.ec != std::errc() || result.ptr != end) {
        return Qt::black;
    }
    // The colour text is laid out 0x00BBGGRR.
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

void applyLanguageFont(QWidget& window, int languageIndex) {
    const LanguageFont& entry = languageFont(languageIndex);
    QFont font = window.font();
    const int charSet = numberFromText(entry.charSet, 0);
    font.setFamilies(faceFamilies(QString::fromUtf8(entry.faceName), charSet));
    font.setPointSize(numberFromText(entry.size, 10));

    const int style = numberFromText(entry.styleCode, -1);
    if (style >= 0 && style <= 15) {
        font.setBold((style & 1) != 0);
        font.setItalic((style & 2) != 0);
        font.setUnderline((style & 4) != 0);
        font.setStrikeOut((style & 8) != 0);
    }
    window.setFont(font);

    QPalette palette = window.palette();
    const QColor colour = colourFromText(entry.colour);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Active, role, colour);
        palette.setColor(QPalette::Inactive, role, colour);
    }
    window.setPalette(palette);
}

}  // namespace flashmere
