#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tests/support/small_disk.h"

namespace flashmere::testing {
namespace {

constexpr std::size_t kPage = 4096;

// Writes pages into a new file until the disk refuses one; false when
// not even the file could be made.
bool writePagesUntilFull(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const std::vector<char> page(kPage, 'f');
    for (int n = 0; n < 1 << 16 && ::write(fd, page.data(), page.size()) > 0; ++n) {
    }
    ::close(fd);
    return true;
}

}  // namespace

SmallDisk::SmallDisk(int kibibytes) {
    if (::geteuid() != 0) {
        why_ = "a small tmpfs can only be mounted as root (CI runs the suite as root)";
        return;
    }
    const std::string options = "size=" + std::to_string(kibibytes) + "k,mode=0700";
    if (::mount("tmpfs", dir_.path().toLocal8Bit().constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                options.c_str()) != 0) {
        why_ = std::string("a small tmpfs cannot be mounted here: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

SmallDisk::~SmallDisk() {
    if (mounted_) {
        ::umount2(dir_.path().toLocal8Bit().constData(), MNT_DETACH);
    }
}

void SmallDisk::fill(int sparePages) {
    std::vector<std::string> spares;
    for (int i = 0; i < sparePages; ++i) {
        spares.push_back(filePath(QStringLiteral("spare-%1").arg(i)).toStdString());
        const int fd = ::open(spares.back().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const std::vector<char> page(kPage, 's');
        if (fd >= 0) {
            [[maybe_unused]] const auto written = ::write(fd, page.data(), page.size());
            ::close(fd);
        }
    }
    writePagesUntilFull(filePath(QStringLiteral("filler-%1").arg(fillers_++)).toStdString());
    for (const std::string& spare : spares) {
        ::unlink(spare.c_str());
    }
}

}  // namespace flashmere::testing
