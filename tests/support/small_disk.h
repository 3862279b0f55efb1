#pragma once

#include <QString>
#include <QTemporaryDir>
#include <string>

namespace flashmere::testing {

// A file system of a few pages (a tmpfs) on a folder of its own, that a test
// fills to the last page to see how a writer meets a full disk. Mounting
// needs root (CI runs the suite as root); where it cannot be had, mounted()
// is false and why() says so, for the test to skip with.
class SmallDisk {
  public:
    explicit SmallDisk(int kibibytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    QString path() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }

    // Fills every free page but sparePages; what was there stays.
    void fill(int sparePages = 0);

  private:
    QTemporaryDir dir_;
    bool mounted_ = false;
    std::string why_;
    int fillers_ = 0;
};

}  // namespace flashmere::testing
