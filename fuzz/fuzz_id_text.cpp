// The ID edit box text: any text gives an ID from 0 to 9999, and a plain
// decimal number reads as its value.
//
// Input: the text as UTF-8, and the same bytes taken as UTF-16 code units
// (which reaches lone surrogates and every other code unit).

#include <QString>
#include <QStringView>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "frontend/id_entry.h"
#include "fuzz_support.h"

namespace flashmere::fuzz {
namespace {

// Blanks, an optional sign and one to nine decimal digits: a text whose
// value is plain to see.
std::optional<std::int64_t> plainDecimal(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    const qsizetype digits = text.size() - i;
    if (digits < 1 || digits > 9) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i].unicode() - u'0');
    }
    return negative ? -value : value;
}

void checkText(QStringView text) {
    const auto value = parseIntegerText(text);
    const int id = deviceIdFromText(text);
    FUZZ_CHECK(id >= 0 && id <= 9999);
    FUZZ_CHECK(id == (value ? std::clamp(*value, 0, 9999) : 0));
    if (const auto plain = plainDecimal(text)) {
        FUZZ_CHECK(value.has_value() && *value == *plain);
    }
    if (value) {
        // The number written back in decimal reads as itself.
        const QString again = QString::number(*value);
        const auto reread = parseIntegerText(again);
        FUZZ_CHECK(reread.has_value() && *reread == *value);
    }
}

}  // namespace
}  // namespace flashmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flashmere::fuzz;
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max() / 2)) {
        return 0;
    }
    checkText(QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    std::vector<char16_t> units(size / 2);
    if (!units.empty()) {
        std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    }
    checkText(QStringView(units.data(), static_cast<qsizetype>(units.size())));
    return 0;
}
