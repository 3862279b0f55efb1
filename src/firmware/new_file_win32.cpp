#include "firmware/new_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "firmware/file_path.h"

namespace flashmere {

// The C runtime ignores fopen's "x": _O_EXCL on a wide-character open.
std::FILE* createNewBinaryFile(const std::string& path) {
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
}

}  // namespace flashmere
