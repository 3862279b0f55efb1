#include "link/serial_mode.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string>
#include <vector>

namespace flashmere {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return out;
}

std::optional<std::uint32_t> parseBaud(std::string_view s) {
    if (s.empty() || s.size() > 10 || !std::all_of(s.begin(), s.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    // The old two-digit abbreviations of the mode command.
    struct Abbreviation {
        std::uint64_t code;
        std::uint32_t baud;
    };
    constexpr std::array<Abbreviation, 9> kAbbreviations = {{{11, 110},
                                                             {15, 150},
                                                             {30, 300},
                                                             {60, 600},
                                                             {12, 1200},
                                                             {24, 2400},
                                                             {48, 4800},
                                                             {96, 9600},
                                                             {19, 19200}}};
    if (s.size() == 2) {
        for (const auto& a : kAbbreviations) {
            if (a.code == value) {
                return a.baud;
            }
        }
        return std::nullopt;
    }
    if (value < kMinBaudRate || value > kMaxBaudRate) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<SerialParity> parseParity(std::string_view s) {
    if (s.size() != 1) {
        return std::nullopt;
    }
    switch (std::tolower(static_cast<unsigned char>(s.front()))) {
        case 'n':
            return SerialParity::None;
        case 'e':
            return SerialParity::Even;
        case 'o':
            return SerialParity::Odd;
        case 'm':
            return SerialParity::Mark;
        case 's':
            return SerialParity::Space;
        default:
            return std::nullopt;
    }
}

std::optional<std::uint8_t> parseDataBits(std::string_view s) {
    if (s.size() != 1 || s.front() < '5' || s.front() > '8') {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(s.front() - '0');
}

std::optional<SerialStopBits> parseStopBits(std::string_view s) {
    if (s == "1") {
        return SerialStopBits::One;
    }
    if (s == "1.5") {
        return SerialStopBits::OneAndHalf;
    }
    if (s == "2") {
        return SerialStopBits::Two;
    }
    return std::nullopt;
}

std::vector<std::string_view> split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto pos = s.find(separator);
        parts.push_back(s.substr(0, pos));
        if (pos == std::string_view::npos) {
            return parts;
        }
        s.remove_prefix(pos + 1);
    }
}

std::optional<SerialMode> parseShortForm(std::string_view text) {
    const auto fields = split(text, ',');
    if (fields.size() > 4) {
        return std::nullopt;
    }
    SerialMode mode;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string_view field = trim(fields[i]);
        bool ok = false;
        switch (i) {
            case 0:
                mode.baudRate = parseBaud(field);
                ok = mode.baudRate.has_value();
                break;
            case 1:
                mode.parity = parseParity(field);
                ok = mode.parity.has_value();
                break;
            case 2:
                mode.dataBits = parseDataBits(field);
                ok = mode.dataBits.has_value();
                break;
            default:
                mode.stopBits = parseStopBits(field);
                ok = mode.stopBits.has_value();
                break;
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    return mode;
}

bool isOnOff(std::string_view v) {
    return v == "on" || v == "off";
}

std::optional<SerialMode> parseLongForm(std::string_view text) {
    SerialMode mode;
    std::vector<std::string> seen;
    while (!text.empty()) {
        const auto end = std::find_if(text.begin(), text.end(), isBlank);
        const std::string_view item = text.substr(0, static_cast<std::size_t>(end - text.begin()));
        text = trim(text.substr(item.size()));

        const auto eq = item.find('=');
        if (eq == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string key = lower(item.substr(0, eq));
        const std::string_view rawValue = item.substr(eq + 1);
        const std::string value = lower(rawValue);
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            return std::nullopt;  // a key given twice is a typing error
        }
        seen.push_back(key);

        bool ok = false;
        if (key == "baud") {
            mode.baudRate = parseBaud(rawValue);
            ok = mode.baudRate.has_value();
        } else if (key == "parity") {
            mode.parity = parseParity(rawValue);
            ok = mode.parity.has_value();
        } else if (key == "data") {
            mode.dataBits = parseDataBits(rawValue);
            ok = mode.dataBits.has_value();
        } else if (key == "stop") {
            mode.stopBits = parseStopBits(rawValue);
            ok = mode.stopBits.has_value();
        } else if (key == "to" || key == "xon" || key == "odsr" || key == "octs" || key == "idsr") {
            ok = isOnOff(value);
        } else if (key == "dtr") {
            ok = isOnOff(value) || value == "hs";
        } else if (key == "rts") {
            ok = isOnOff(value) || value == "hs" || value == "tg";
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    return mode;
}

bool combinationPossible(const SerialMode& mode) {
    if (!mode.dataBits || !mode.stopBits) {
        return true;
    }
    if (*mode.dataBits == 5) {
        return *mode.stopBits != SerialStopBits::Two;
    }
    return *mode.stopBits != SerialStopBits::OneAndHalf;
}

}  // namespace

std::optional<SerialMode> parseSerialMode(std::string_view text) {
    text = trim(text);
    if (text.empty()) {
        return std::nullopt;
    }
    const auto mode =
        text.find('=') != std::string_view::npos ? parseLongForm(text) : parseShortForm(text);
    if (!mode || !combinationPossible(*mode)) {
        return std::nullopt;
    }
    return mode;
}

}  // namespace flashmere
