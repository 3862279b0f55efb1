#pragma once

#include <QStringView>
#include <optional>

namespace flashmere {

// Reads a whole text as an integer the way the classic integer conversion
// does: blanks before it skipped, an optional sign, then decimal digits, or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". Anything else (empty
// text, stray letters, trailing blanks, a value outside 32 bits) is no
// number.
std::optional<int> parseIntegerText(QStringView text);

// The ID the edit box text stands for: the parsed value clamped to 0..9999,
// 0 for text that is no number.
int deviceIdFromText(QStringView text);

}  // namespace flashmere
