#pragma once

#include <QFont>
#include <QStringList>

class QWidget;

namespace flashmere {

// The window font of a language as its table holds it: the design face, the
// character set, size, style bits and colour, numbers kept as text.
struct LanguageFont {
    const char* faceName;   // UTF-8
    const char* charSet;    // "0" ANSI, "134" GB2312, "136" Big5
    const char* size;       // points
    const char* styleCode;  // bits: 1 bold, 2 italic, 4 underline, 8 strike-out
    const char* colour;     // "0x00BBGGRR"
};

const LanguageFont& languageFont(int languageIndex);

// The installed faces that stand in for a design face (SimSun, MingLiU, the
// Windows sans serif faces): the design face first, then what exists here.
QStringList faceFamilies(const QString& designFace, int charSet);

// Registers the design faces of the window (the .ui names them) as font
// substitutions, so widgets that keep a fixed face find an installed one.
void installFaceSubstitutions();

// Sets face, size, style and text colour of the window from the language's
// table entry. A style code outside 0..15 leaves the style as it was.
void applyLanguageFont(QWidget& window, int languageIndex);

// The colour of a "0x00BBGGRR" text; black for anything else.
QColor colourFromText(const char* text);

}  // namespace flashmere
