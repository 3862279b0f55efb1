#include "firmware/new_file.h"

#include <cerrno>

#include "firmware/file_path.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace flashmere {

std::FILE* createNewBinaryFile(const std::string& path) {
#if defined(_WIN32)
    const int fd = ::_wopen(pathFromUtf8(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                            _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::_close(fd);
        errno = error;
    }
    return file;
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

}  // namespace flashmere
