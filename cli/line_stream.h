#pragma once

// A C stream whose text is handed on line by line, for code that writes to
// a std::FILE*; one file per system (line_stream_posix.cpp,
// line_stream_win32.cpp).

#include <cstdio>
#include <functional>
#include <string>

namespace flashmere::cli {

// Each whole line written (without its "\n") goes to `onLine`, in order.
// Null if the system gives no stream.
std::FILE* openLineStream(std::function<void(std::string line)> onLine);

// Closes such a stream; every whole line written has gone to `onLine` when
// it returns. Text after the last "\n" is dropped.
void closeLineStream(std::FILE* stream);

}  // namespace flashmere::cli
