#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "firmware/durable_file.h"
#include "firmware/file_path.h"

namespace flashmere {
namespace {

std::string systemReason(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : L"system error";
    ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L'.' || message.back() == L' ')) {
        message.pop_back();
    }
    return utf8FromPath(std::filesystem::path(message));
}

const char* const kLinkRefused = "it is a symbolic link, which is never written through";

// Opens the path itself, never what a link there points to: a link or other
// reparse point is refused, as is anything that is not a plain file.
HANDLE openPlainFile(const std::string& path, DWORD access, DWORD disposition,
                     std::string& reason) {
    const HANDLE file = ::CreateFileW(pathFromUtf8(path).c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = systemReason(::GetLastError());
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        ::GetFileType(file) != FILE_TYPE_DISK) {
        reason = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                     ? kLinkRefused
                     : "it is not a regular file";
        ::CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

DWORD writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            return ::GetLastError();
        }
        if (written == 0) {
            return ERROR_DISK_FULL;
        }
        bytes.remove_prefix(written);
    }
    return ::FlushFileBuffers(file) ? 0 : ::GetLastError();
}

}  // namespace

std::string appendWhole(const std::string& path, std::string_view bytes) {
    std::string reason;
    const HANDLE file = openPlainFile(path, GENERIC_WRITE, OPEN_ALWAYS, reason);
    if (file == INVALID_HANDLE_VALUE) {
        return reason;
    }
    LARGE_INTEGER before{};
    ::GetFileSizeEx(file, &before);
    ::SetFilePointerEx(file, before, nullptr, FILE_BEGIN);
    const DWORD error = writeAll(file, bytes);
    if (error != 0 && ::SetFilePointerEx(file, before, nullptr, FILE_BEGIN)) {
        ::SetEndOfFile(file);
    }
    ::CloseHandle(file);
    return error == 0 ? std::string() : systemReason(error);
}

std::string replaceWhole(const std::string& path, std::string_view bytes) {
    const DWORD attributes = ::GetFileAttributesW(pathFromUtf8(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return kLinkRefused;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return "it is not a regular file";
        }
    }
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".new-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
    std::string reason;
    const HANDLE file = openPlainFile(temporary, GENERIC_WRITE, CREATE_ALWAYS, reason);
    if (file == INVALID_HANDLE_VALUE) {
        return reason;
    }
    DWORD error = writeAll(file, bytes);
    LARGE_INTEGER size{};
    if (error == 0 &&
        (!::GetFileSizeEx(file, &size) || size.QuadPart != static_cast<LONGLONG>(bytes.size()))) {
        error = ERROR_WRITE_FAULT;
    }
    ::CloseHandle(file);
    if (error == 0 && !::MoveFileExW(pathFromUtf8(temporary).c_str(), pathFromUtf8(path).c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
    }
    if (error != 0) {
        ::DeleteFileW(pathFromUtf8(temporary).c_str());
        return systemReason(error);
    }
    return {};
}

std::FILE* openLogNoFollow(const std::string& path, std::string& reason) {
    const HANDLE file = openPlainFile(path, GENERIC_WRITE, CREATE_ALWAYS, reason);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        reason = "the log cannot be opened";
        ::CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, "wb");
    if (stream == nullptr) {
        reason = std::strerror(errno);
        ::_close(fd);
    }
    return stream;
}

std::string closeLog(std::FILE* file) {
    const bool failedBefore = std::ferror(file) != 0;
    errno = 0;
    const bool flushed = std::fflush(file) == 0;
    const int flushError = errno;
    std::fclose(file);
    if (!flushed) {
        return std::strerror(flushError != 0 ? flushError : EIO);
    }
    return failedBefore ? "some of its lines could not be written" : std::string();
}

}  // namespace flashmere
