#include <fcntl.h>
#include <io.h>

#include <map>
#include <mutex>
#include <thread>

#include "line_stream.h"

// The C runtime on Windows has no stream with functions of one's own: the
// stream is the writing end of a pipe, and a thread reads the lines from the
// other end.
namespace flashmere::cli {
namespace {

constexpr unsigned kPipeBytes = 64 * 1024;

std::mutex& readersLock() {
    static std::mutex lock;
    return lock;
}

// The reading thread of each open stream, joined when the stream closes.
std::map<std::FILE*, std::thread>& readers() {
    static std::map<std::FILE*, std::thread> threads;
    return threads;
}

void readLines(int readEnd, const std::function<void(std::string)>& onLine) {
    std::string pending;
    char buffer[4096];
    for (int got = ::_read(readEnd, buffer, sizeof buffer); got > 0;
         got = ::_read(readEnd, buffer, sizeof buffer)) {
        pending.append(buffer, static_cast<std::size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            onLine(std::move(line));
        }
    }
    ::_close(readEnd);
}

}  // namespace

std::FILE* openLineStream(std::function<void(std::string line)> onLine) {
    int ends[2];
    if (::_pipe(ends, kPipeBytes, _O_BINARY) != 0) {
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(ends[1], "wb");
    if (stream == nullptr) {
        ::_close(ends[0]);
        ::_close(ends[1]);
        return nullptr;
    }
    const std::lock_guard lock(readersLock());
    readers().emplace(stream, std::thread(readLines, ends[0], std::move(onLine)));
    return stream;
}

void closeLineStream(std::FILE* stream) {
    std::fclose(stream);
    std::thread reader;
    {
        const std::lock_guard lock(readersLock());
        const auto found = readers().find(stream);
        if (found == readers().end()) {
            return;
        }
        reader = std::move(found->second);
        readers().erase(found);
    }
    reader.join();
}

}  // namespace flashmere::cli
