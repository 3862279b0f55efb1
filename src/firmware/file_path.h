#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace flashmere {

// Paths reach the core as UTF-8 text, as the window and the command line
// hold them. These turn such text into the system's path and back: the bytes
// unchanged on POSIX systems; on Windows, whose narrow file calls would read
// the text in the local code page, through UTF-16. Text that is not UTF-8
// gives an empty path there, which no file call accepts.
std::filesystem::path pathFromUtf8(const std::string& text);
std::string utf8FromPath(const std::filesystem::path& path);

// std::fopen for a path given as UTF-8 text.
std::FILE* openFile(const std::string& path, const char* mode);

}  // namespace flashmere
