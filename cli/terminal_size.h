#pragma once

namespace flashmere::cli {

// The size of the terminal stdout writes to, in character cells.
struct TerminalSize {
    int columns = 80;
    int rows = 24;
};

// The terminal's size, or 80 by 24 when stdout is no terminal or the system
// does not tell.
TerminalSize terminalSize();

}  // namespace flashmere::cli
