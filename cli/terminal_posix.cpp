#include <sys/ioctl.h>
#include <unistd.h>

#include "terminal.h"

namespace flashmere::cli {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void prepareStandardStreams() {}

bool stdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

TerminalSize terminalSize() {
    TerminalSize size;
    winsize window{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0) {
        size.columns = window.ws_col > 1 ? window.ws_col : size.columns;
        size.rows = window.ws_row > 1 ? window.ws_row : size.rows;
    }
    return size;
}

}  // namespace flashmere::cli
