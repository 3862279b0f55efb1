#include "cli_common.h"

#include <cstdio>
#include <iostream>

#include "firmware/regular_file.h"

namespace flashmere::cli {

std::string oneLine(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '?';
        }
    }
    return line;
}

int fail(ExitCode code, std::string_view cause) {
    std::cerr << kProgramName << ": " << oneLine(cause) << '\n' << std::flush;
    return static_cast<int>(code);
}

std::optional<std::uint16_t> parseModelCode(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return static_cast<std::uint16_t>(value);
}

std::string modelHex(std::uint16_t modelCode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(modelCode));
    return text;
}

std::string unreadableReason(const std::string& path) {
    const std::string problem = regularFileProblem(path);
    return problem.empty() ? "cannot be read" : problem;
}

}  // namespace flashmere::cli
