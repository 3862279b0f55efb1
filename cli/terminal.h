#pragma once

// What the command line needs from the system's console, one file per
// system (terminal_posix.cpp, terminal_win32.cpp).

#include <cstddef>
#include <functional>
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

// The width of the terminal on standard output, 0 when unknown.
std::size_t terminalColumnCount();

// While it lives, each interrupt from the keyboard (Ctrl+C) calls
// `onInterrupt` instead of ending the program. `onInterrupt` may touch
// nothing but atomics: it runs in a signal handler or on a system thread.
class InterruptHandler {
  public:
    explicit InterruptHandler(void (*onInterrupt)());
    ~InterruptHandler();
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;
};

// Calls `start`, which starts a thread; no interrupt is ever handled on
// that thread, so that a handler never runs in the middle of its work.
void startThreadOutsideInterrupts(const std::function<void()>& start);

}  // namespace flashmere::cli
