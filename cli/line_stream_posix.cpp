#include <sys/types.h>

#include "line_stream.h"

namespace flashmere::cli {
namespace {

struct LineSplitter {
    std::function<void(std::string)> onLine;
    std::string pending;
};

ssize_t splitWrite(void* cookie, const char* data, size_t size) {
    auto* splitter = static_cast<LineSplitter*>(cookie);
    splitter->pending.append(data, size);
    for (auto end = splitter->pending.find('\n'); end != std::string::npos;
         end = splitter->pending.find('\n')) {
        std::string line = splitter->pending.substr(0, end);
        splitter->pending.erase(0, end + 1);
        splitter->onLine(std::move(line));
    }
    return static_cast<ssize_t>(size);
}

int splitClose(void* cookie) {
    delete static_cast<LineSplitter*>(cookie);
    return 0;
}

}  // namespace

std::FILE* openLineStream(std::function<void(std::string line)> onLine) {
    cookie_io_functions_t functions{};
    functions.write = splitWrite;
    functions.close = splitClose;
    auto* splitter = new LineSplitter{std::move(onLine), {}};
    std::FILE* stream = fopencookie(splitter, "w", functions);
    if (stream == nullptr) {
        delete splitter;
    }
    return stream;
}

void closeLineStream(std::FILE* stream) {
    std::fclose(stream);
}

}  // namespace flashmere::cli
