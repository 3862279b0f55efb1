#include "firmware/regular_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flashmere {

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

}  // namespace flashmere
