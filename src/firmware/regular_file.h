#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace flashmere {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// A file opened for reading, or why it was not.
struct RegularFile {
    FileHandle file;          // empty when the path was refused
    bool notRegular = false;  // the path names a folder, FIFO, device or socket
    int error = 0;            // errno of a failed stat or open
};

// Opens a path for binary reading only when it names a regular file (a
// symlink is followed). The type is checked before the open and again on the
// open descriptor, and the open never waits, so a FIFO or a device node is
// refused at once instead of blocking or waking hardware.
RegularFile openRegularFile(const std::string& path);

// Why a path cannot be read as a firmware file or body, for a message ("no
// such file", "is a FIFO, not a regular file", ...). Empty when it can.
std::string regularFileProblem(const std::string& path);

// The size in bytes of an open file; 0 when the system cannot tell. Always
// 64-bit: Windows' plain fstat has a 32-bit size.
std::uint64_t openFileSize(std::FILE* file);

}  // namespace flashmere
