#include "firmware/file_path.h"

#include <cstring>
#include <exception>

namespace flashmere {

// Windows paths are UTF-16: the text goes through char8_t, never through
// the local code page.

std::filesystem::path pathFromUtf8(const std::string& text) {
    try {
        return std::filesystem::path(std::u8string(text.begin(), text.end()));
    } catch (const std::exception&) {
        return {};
    }
}

std::string utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::FILE* openFile(const std::string& path, const char* mode) {
    const std::wstring wideMode(mode, mode + std::strlen(mode));
    return ::_wfopen(pathFromUtf8(path).c_str(), wideMode.c_str());
}

}  // namespace flashmere
