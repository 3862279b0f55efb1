#include "firmware/regular_file.h"

#include <cerrno>
#include <cstring>

#include <io.h>

#include <filesystem>
#include <system_error>

#include "firmware/file_path.h"

namespace flashmere {

// Windows has no FIFO that an open could wait on, and its device names (NUL,
// COM1, ...) are not regular files, so checking the type before a plain
// binary open refuses what the POSIX side refuses.
namespace {

struct PathType {
    std::filesystem::file_type type = std::filesystem::file_type::none;
    int error = 0;  // errno-style, 0 when the type is known
};

PathType pathType(const std::string& path) {
    std::error_code failure;
    const std::filesystem::file_status status =
        std::filesystem::status(pathFromUtf8(path), failure);
    if (status.type() == std::filesystem::file_type::not_found) {
        return {status.type(), ENOENT};
    }
    if (failure) {
        const std::error_condition condition = failure.default_error_condition();
        const bool isErrno = condition.category() == std::generic_category();
        return {status.type(), isErrno ? condition.value() : EIO};
    }
    return {status.type(), 0};
}

const char* typeName(std::filesystem::file_type type) {
    switch (type) {
        case std::filesystem::file_type::directory:
            return "is a folder, not a file";
        case std::filesystem::file_type::fifo:
            return "is a FIFO, not a regular file";
        case std::filesystem::file_type::character:
        case std::filesystem::file_type::block:
            return "is a device, not a regular file";
        case std::filesystem::file_type::socket:
            return "is a socket, not a regular file";
        default:
            return "is not a regular file";
    }
}

}  // namespace

RegularFile openRegularFile(const std::string& path) {
    RegularFile result;
    const PathType found = pathType(path);
    if (found.error != 0) {
        result.error = found.error;
        return result;
    }
    if (found.type != std::filesystem::file_type::regular) {
        result.notRegular = true;
        return result;
    }
    result.file.reset(openFile(path, "rb"));
    if (!result.file) {
        result.error = errno;
    }
    return result;
}

std::string regularFileProblem(const std::string& path) {
    const PathType found = pathType(path);
    if (found.error == ENOENT) {
        return "no such file";
    }
    if (found.error != 0) {
        return std::strerror(found.error);
    }
    if (found.type != std::filesystem::file_type::regular) {
        return typeName(found.type);
    }
    // Opening a regular file for reading has no side effect; it is the
    // only sure test of the rights Windows grants.
    const RegularFile opened = openRegularFile(path);
    return opened.file ? std::string() : std::strerror(opened.error);
}

std::uint64_t openFileSize(std::FILE* file) {
    const __int64 size = ::_filelengthi64(::_fileno(file));
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

}  // namespace flashmere
