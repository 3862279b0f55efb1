#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "firmware/file_path.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace flashmere::testing {

// Windows has neither FIFOs nor symbolic links a test can count on making, so
// the cases that need one run on POSIX systems only.
#if defined(_WIN32)
inline constexpr bool kFifosAndLinks = false;
#else
inline constexpr bool kFifosAndLinks = true;
#endif

// Makes a FIFO at path; false where it could not, always on Windows.
inline bool makeFifo(const std::string& path) {
#if defined(_WIN32)
    (void)path;
    return false;
#else
    return ::mkfifo(path.c_str(), 0600) == 0;
#endif
}

// A private folder under the system's temporary folder, removed at the end.
class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<unsigned> counter{0};
        std::random_device entropy;
        path_ = std::filesystem::temp_directory_path() /
                ("flashmere-test-" + std::to_string(entropy()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The UTF-8 text of the path of name (UTF-8 too) in the folder.
    std::string file(const std::string& name) const {
        return utf8FromPath(path_ / pathFromUtf8(name));
    }
    const std::filesystem::path& path() const { return path_; }

    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string where = file(name);
        std::ofstream out(pathFromUtf8(where), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return where;
    }

    std::size_t entryCount() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path_)) {
            ++n;
        }
        return n;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace flashmere::testing
