#include <windows.h>

#include "terminal_size.h"

namespace flashmere::cli {

TerminalSize terminalSize() {
    TerminalSize size;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
        size.columns = columns > 1 ? columns : size.columns;
        size.rows = rows > 1 ? rows : size.rows;
    }
    return size;
}

}  // namespace flashmere::cli
