#pragma once

// What the command line needs from the system's console, one file per
// system (terminal_posix.cpp, terminal_win32.cpp).

#include <cstddef>
#include <string>
#include <vector>

namespace flashmere::cli {

// The program's arguments as UTF-8 text, as every file name and text inside
// the program is held.
std::vector<std::string> utf8Arguments(int argc, char** argv);

// Standard output and error carry the same bytes on every system: UTF-8
// text with "\n" line ends, also into a pipe or a file.
void prepareStandardStreams();

bool stdoutIsTerminal();

// The size of the terminal stdout writes to, in character cells.
struct TerminalSize {
    int columns = 80;
    int rows = 24;
};

// The terminal's size, or 80 by 24 when stdout is no terminal or the system
// does not tell.
TerminalSize terminalSize();

}  // namespace flashmere::cli
