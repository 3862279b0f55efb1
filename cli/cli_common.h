#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "frontend/exit_codes.h"

namespace flashmere::cli {

constexpr const char* kProgramName = "flashmere-cli";

// Prints "flashmere-cli: <cause>" as one line on stderr and gives the code
// back, so a command can `return fail(ExitCode::..., "...")`.
int fail(ExitCode code, std::string_view cause);

// Control characters in text from outside become '?', so one message stays
// one line.
std::string oneLine(std::string_view text);

// A model code as typed: 1 to 4 hexadecimal digits, with or without 0x.
std::optional<std::uint16_t> parseModelCode(std::string_view text);

// "%04X" of a model code.
std::string modelHex(std::uint16_t modelCode);

// Why a path cannot be read as a file, for a message ("no such file", "is a
// FIFO, not a regular file", ...).
std::string unreadableReason(const std::string& path);

}  // namespace flashmere::cli
