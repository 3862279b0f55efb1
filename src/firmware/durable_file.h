#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace flashmere {

// The writes of records (the history, reports, logs) that must either reach
// the disk whole or leave the file as it was, with the system's own reason
// ("No space left on device") when they fail. None of them writes through a
// symbolic link at the path: a link there is refused and said, so a record
// never lands in a file its writer did not choose. Paths are UTF-8.

// Appends the bytes in one write and flushes them to the disk; a write that
// fails or falls short is cut back to the file's old length. The file is
// made when it is missing. Empty on success, else why not.
std::string appendWhole(const std::string& path, std::string_view bytes);

// Replaces the file's content: the bytes go to a new file beside it, are
// flushed to the disk and checked, and only then renamed over the old one,
// which stays whole on any failure. Empty on success, else why not.
std::string replaceWhole(const std::string& path, std::string_view bytes);

// Opens a log for writing from its start (made when missing); nullptr with
// the reason set when it cannot be, or when the path is a symbolic link.
std::FILE* openLogNoFollow(const std::string& path, std::string& reason);

// Flushes and closes a log; empty when every byte reached the file, else
// why not (the system's reason where the last flush gives one).
std::string closeLog(std::FILE* file);

}  // namespace flashmere
