#include "firmware/file_path.h"

namespace flashmere {

// POSIX paths are bytes: the UTF-8 text is the path.

std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(text);
}

std::string utf8FromPath(const std::filesystem::path& path) {
    return path.string();
}

std::FILE* openFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

}  // namespace flashmere
