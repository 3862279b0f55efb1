#include "cli_common.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
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

std::string escapeBytes(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u <= 0x7E && c != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        }
    }
    return out;
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

void attachRunner(CLI::App* command, CommandOutcome& outcome, std::function<int()> run) {
    command->callback([&outcome, run = std::move(run)] { outcome.exitCode = run(); });
}

namespace {

// "info, pack, ...": the commands registered on app, in their order.
std::string commandList(const CLI::App& app) {
    std::string list;
    for (const CLI::App* command : app.get_subcommands({})) {
        list += (list.empty() ? "" : ", ") + command->get_name();
    }
    return list;
}

// "unknown command 'X'" or "unknown option '-X'" when the first argument
// names neither a command nor an option of the program itself.
std::optional<std::string> unknownFirstArgument(const CLI::App& app, int argc, char** argv) {
    if (argc < 2) {
        return std::nullopt;
    }
    const std::string first = argv[1];
    if (!first.empty() && first[0] == '-') {
        const std::string name = first.substr(0, first.find('='));
        if (app.get_option_no_throw(name) != nullptr) {
            return std::nullopt;
        }
        return "unknown option '" + first + "'";
    }
    for (const CLI::App* command : app.get_subcommands({})) {
        if (command->check_name(first)) {
            return std::nullopt;
        }
    }
    return "unknown command '" + first + "'";
}

}  // namespace

int runCli(CLI::App& app, CommandOutcome& outcome, int argc, char** argv) {
    if (const auto unknown = unknownFirstArgument(app, argc, argv)) {
        return fail(ExitCode::Usage, *unknown + "; the commands are " + commandList(app));
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(e);  // --help, --version
        }
        // An error before any command was named: say which commands exist.
        const std::string commands =
            app.get_subcommands().empty() ? "; the commands are " + commandList(app) : "";
        return fail(ExitCode::Usage,
                    std::string(e.what()) + commands + " (see " + kProgramName + " --help)");
    } catch (const std::exception& e) {
        return fail(ExitCode::Internal, e.what());
    }
    return outcome.exitCode;
}

}  // namespace flashmere::cli
