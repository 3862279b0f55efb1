#include "firmware/regular_file.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>

#include <filesystem>
#include <system_error>

#include "firmware/file_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flashmere {

#if defined(_WIN32)

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

#else

namespace {

const char* typeName(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "is a folder, not a file";
    }
    if (S_ISFIFO(mode)) {
        return "is a FIFO, not a regular file";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "is a device, not a regular file";
    }
    if (S_ISSOCK(mode)) {
        return "is a socket, not a regular file";
    }
    return "is not a regular file";
}

}  // namespace

RegularFile openRegularFile(const std::string& path) {
    RegularFile result;
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(before.st_mode)) {
        result.notRegular = true;
        return result;
    }
    // Non-blocking: the path may have been swapped for a FIFO since the stat.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        result.notRegular = true;
        ::close(fd);
        return result;
    }
    // Reads of a regular file never wait; the flag is cleared all the same.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    result.file.reset(::fdopen(fd, "rb"));
    if (!result.file) {
        result.error = errno;
        ::close(fd);
    }
    return result;
}

std::string regularFileProblem(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            // A symlink whose target is gone reads as missing too.
            return "no such file";
        }
        return std::strerror(error);
    }
    if (!S_ISREG(status.st_mode)) {
        return typeName(status.st_mode);
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return std::strerror(errno);
    }
    return {};
}

std::uint64_t openFileSize(std::FILE* file) {
    struct stat status {};
    return ::fstat(::fileno(file), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

#endif

}  // namespace flashmere
