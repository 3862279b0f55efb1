// Every list of exit codes a user reads names the codes of the one enum,
// each once: README.md, cli/EXIT_CODES.md, the manual page and --help.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frontend/exit_codes.h"

namespace flashmere {
namespace {

std::vector<std::string> lines(std::istream& in) {
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line) && out.size() < 100000;) {
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> fileLines(const std::string& relative) {
    std::ifstream in(std::string(FLASHMERE_SOURCE_DIR) + "/" + relative);
    return lines(in);
}

// The number at the start of text ("12 | ..." gives 12), or -1 when text
// does not start with digits followed by `end` (a range such as 7-9 is none).
int leadingCode(const std::string& text, const std::string& end) {
    std::size_t digits = 0;
    while (digits < text.size() && digits < 3 &&
           std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0 || text.compare(digits, end.size(), end) != 0) {
        return -1;
    }
    return std::stoi(text.substr(0, digits));
}

std::vector<int> enumCodes() {
    std::vector<int> codes;
    for (const ExitCodeMeaning& meaning : kExitCodes) {
        codes.push_back(exitStatus(meaning.code));
    }
    return codes;
}

// The codes of the Markdown table rows "| N | ..." from the line that
// contains `after` on, up to the first line after the table.
std::vector<int> markdownCodes(const std::vector<std::string>& text, const std::string& after) {
    std::vector<int> codes;
    bool reached = after.empty();
    bool inTable = false;
    for (const std::string& line : text) {
        reached = reached || line.find(after) != std::string::npos;
        if (!reached) {
            continue;
        }
        if (line.rfind("|", 0) != 0) {
            if (inTable) {
                break;
            }
            continue;
        }
        inTable = true;
        if (const int code = leadingCode(line.substr(line.find_first_not_of("| ")), " |");
            code >= 0) {
            codes.push_back(code);
        }
    }
    return codes;
}

TEST(ExitCodes, EveryDocumentListsTheCodesOfTheEnum) {
    const std::vector<int> expected = enumCodes();
    EXPECT_EQ(markdownCodes(fileLines("README.md"), "Exit codes:"), expected) << "README.md";
    EXPECT_EQ(markdownCodes(fileLines("cli/EXIT_CODES.md"), ""), expected) << "cli/EXIT_CODES.md";

    std::vector<int> manual;
    bool inSection = false;
    for (const std::string& line : fileLines("docs/man/flashmere-cli.1")) {
        if (line.rfind(".SH", 0) == 0) {
            inSection = line == ".SH EXIT STATUS";
            continue;
        }
        if (const int code = leadingCode(line.size() > 3 ? line.substr(3) : "", "");
            inSection && line.rfind(".B ", 0) == 0 && code >= 0 &&
            line.size() == 3 + std::to_string(code).size()) {
            manual.push_back(code);
        }
    }
    EXPECT_EQ(manual, expected) << "docs/man/flashmere-cli.1, EXIT STATUS";

    // --help gives each code with its description from the enum's table.
    FILE* help = popen((std::string("\"") + FLASHMERE_CLI_PATH + "\" --help").c_str(), "r");
    ASSERT_NE(help, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t n;
         (n = std::fread(buffer, 1, sizeof buffer, help)) > 0 && output.size() < 1000000;) {
        output.append(buffer, n);
    }
    EXPECT_EQ(pclose(help), 0);
    std::istringstream in(output);
    std::vector<int> listed;
    bool inFooter = false;
    for (const std::string& line : lines(in)) {
        inFooter = inFooter || line.find("Exit codes (cli/EXIT_CODES.md):") != std::string::npos;
        if (inFooter && line.rfind("  ", 0) == 0 && leadingCode(line.substr(2), "") >= 0) {
            const int code = leadingCode(line.substr(2), "");
            listed.push_back(code);
            for (const ExitCodeMeaning& meaning : kExitCodes) {
                if (exitStatus(meaning.code) == code) {
                    EXPECT_NE(line.find(meaning.description), std::string::npos) << line;
                }
            }
        }
    }
    EXPECT_EQ(listed, expected) << "flashmere-cli --help";
}

}  // namespace
}  // namespace flashmere
