#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "firmware/durable_file.h"

namespace flashmere {
namespace {

std::string systemReason(int error) {
    return error == ELOOP ? "it is a symbolic link, which is never written through"
                          : std::strerror(error);
}

// Opens without following a link at the path and without waiting on a FIFO;
// only a regular file is kept open, blocking again.
int openRegularNoFollow(const std::string& path, int flags, std::string& reason) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        reason = systemReason(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "it is not a regular file";
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Writes every byte, or gives the errno of the write that failed (ENOSPC
// for a write that fell short and then had no room left).
int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int syncAndClose(int fd) {
    int error = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0 && errno != EINTR) {
        error = errno;
    }
    return error;
}

}  // namespace

std::string appendWhole(const std::string& path, std::string_view bytes) {
    std::string reason;
    const int fd = openRegularNoFollow(path, O_WRONLY | O_APPEND | O_CREAT, reason);
    if (fd < 0) {
        return reason;
    }
    struct stat before {};
    ::fstat(fd, &before);
    int error = writeAll(fd, bytes);
    if (error == 0) {
        error = ::fsync(fd) == 0 ? 0 : errno;
    }
    if (error != 0 && ::ftruncate(fd, before.st_size) == 0) {
        ::fsync(fd);
    }
    ::close(fd);
    return error == 0 ? std::string() : systemReason(error);
}

namespace {

// A new file beside path, made by this call (never one that was there), with
// the permissions the user's umask gives.
int createBeside(const std::string& path, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int fd =
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

std::string replaceWhole(const std::string& path, std::string_view bytes) {
    struct stat st {};
    const bool existed = ::lstat(path.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode)) {
        return S_ISLNK(st.st_mode) ? systemReason(ELOOP) : "it is not a regular file";
    }
    std::string temporary;
    const int fd = createBeside(path, temporary);
    if (fd < 0) {
        return std::strerror(errno);
    }
    if (existed) {
        ::fchmod(fd, st.st_mode & 07777);  // the file keeps who may read it
    }
    int error = writeAll(fd, bytes);
    struct stat written {};
    if (error == 0 &&
        (::fstat(fd, &written) != 0 || written.st_size != static_cast<off_t>(bytes.size()))) {
        error = EIO;
    }
    const int closeError = syncAndClose(fd);
    error = error != 0 ? error : closeError;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return std::strerror(error);
    }
    return {};
}

namespace {

// A log's stream over its descriptor that keeps the first write's failure:
// a stream flushed line by line forgets errno long before it is closed.
struct LogCookie {
    int fd = -1;
    int firstError = 0;
};

ssize_t writeLog(void* cookie, const char* data, size_t size) {
    auto* log = static_cast<LogCookie*>(cookie);
    const int error = writeAll(log->fd, std::string_view(data, size));
    if (error == 0) {
        return static_cast<ssize_t>(size);
    }
    log->firstError = log->firstError != 0 ? log->firstError : error;
    errno = error;
    return -1;
}

int closeLogCookie(void* cookie) {
    auto* log = static_cast<LogCookie*>(cookie);
    const int closeError = syncAndClose(log->fd);
    const int error = log->firstError != 0 ? log->firstError : closeError;
    delete log;
    errno = error;
    return error == 0 ? 0 : -1;
}

}  // namespace

std::FILE* openLogNoFollow(const std::string& path, std::string& reason) {
    const int fd = openRegularNoFollow(path, O_WRONLY | O_CREAT | O_TRUNC, reason);
    if (fd < 0) {
        return nullptr;
    }
    auto* cookie = new LogCookie{fd, 0};
    std::FILE* file = ::fopencookie(cookie, "wb", {nullptr, writeLog, nullptr, closeLogCookie});
    if (file == nullptr) {
        reason = std::strerror(errno);
        ::close(fd);
        delete cookie;
    }
    return file;
}

std::string closeLog(std::FILE* file) {
    const bool failedBefore = std::ferror(file) != 0;
    std::fflush(file);
    if (std::fclose(file) != 0) {
        return std::strerror(errno);
    }
    return failedBefore ? "some of its lines could not be written" : std::string();
}

}  // namespace flashmere
