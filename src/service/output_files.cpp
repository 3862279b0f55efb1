#include "service/output_files.h"

#include <cerrno>
#include <system_error>

#include "firmware/file_path.h"

namespace flashmere {
namespace {

// A name beside path that nothing in the folder has yet; empty when a
// hundred tries found none.
std::filesystem::path freshName(const std::filesystem::path& path, const char* suffix) {
    for (int n = 0; n < 100; ++n) {
        std::filesystem::path candidate = path;
        candidate += (n == 0 ? std::string() : "." + std::to_string(n)) + suffix;
        std::error_code ec;
        if (std::filesystem::symlink_status(candidate, ec).type() ==
            std::filesystem::file_type::not_found) {
            return candidate;
        }
    }
    return {};
}

}  // namespace

std::string nameInTheWay(const std::filesystem::path& path) {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(path, ec).type();
    if (type == std::filesystem::file_type::not_found ||
        type == std::filesystem::file_type::regular) {
        return {};
    }
    // A link there was not made by a read-back: it is neither written
    // through nor replaced.
    if (type == std::filesystem::file_type::symlink) {
        return "cannot write " + utf8FromPath(path) +
               ": it is a symbolic link, which is never written through or replaced";
    }
    return "cannot write " + utf8FromPath(path) + ": " +
           (type == std::filesystem::file_type::directory ? "a folder"
                                                          : "something that is no file") +
           " of that name is in the way";
}

OutputFile::OutputFile(const std::string& folder, const char* name)
    : final_(pathFromUtf8(folder) / name), part_(freshName(final_, ".part")) {
    if (part_.empty()) {
        return;
    }
    // The folder takes a file now; it is written at finish.
    errno = 0;
    std::ofstream probe(part_, std::ios::binary | std::ios::trunc);
    if (!probe.is_open()) {
        openError_ = errno != 0 ? errno : EIO;
        return;
    }
    probe.close();
    std::error_code ignored;
    std::filesystem::remove(part_, ignored);
}

OutputFile::~OutputFile() {
    if (!published_ && written_) {
        std::error_code ignored;
        std::filesystem::remove(part_, ignored);
    }
}

std::string OutputFile::openProblem() const {
    if (part_.empty()) {
        return ": no free name for its part file";
    }
    return openError_ != 0 ? ": " + std::generic_category().message(openError_) : std::string();
}

void OutputFile::writeLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        write(line.data(), line.size());
        write("\r\n", 2);
    }
}

bool OutputFile::finish(std::string& error) {
    if (!ok()) {
        error = "cannot write " + path() + openProblem();
        return false;
    }
    errno = 0;
    std::ofstream out(part_, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        const int reason = errno != 0 ? errno : EIO;
        error = "cannot write " + path() + ": " + std::generic_category().message(reason);
        return false;
    }
    written_ = true;
    out.write(bytes_.data(), static_cast<std::streamsize>(bytes_.size()));
    out.close();
    if (out.fail()) {
        const int reason = errno != 0 ? errno : EIO;
        error = "cannot write " + path() + ": " + std::generic_category().message(reason);
        return false;
    }
    return true;
}

bool OutputFile::publish(std::string& error) {
    if (std::string inTheWay = nameInTheWay(final_); !inTheWay.empty()) {
        error = inTheWay;
        return false;
    }
    std::error_code ec;
    if (std::filesystem::symlink_status(final_, ec).type() !=
        std::filesystem::file_type::not_found) {
        aside_ = freshName(final_, ".previous");
        if (aside_.empty()) {
            error = "cannot write " + path() + ": no free name to keep the old file";
            return false;
        }
        std::filesystem::rename(final_, aside_, ec);
        if (ec) {
            aside_.clear();
            error = "cannot write " + path() + ": " + ec.message();
            return false;
        }
    }
    std::filesystem::rename(part_, final_, ec);
    if (ec) {
        putBack();
        error = "cannot write " + path() + ": " + ec.message();
        return false;
    }
    published_ = true;
    return true;
}

void OutputFile::withdraw() {
    if (published_ && aside_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(final_, ignored);
    }
    published_ = false;
    putBack();
}

void OutputFile::keep() {
    if (!aside_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(aside_, ignored);
        aside_.clear();
    }
}

std::string OutputFile::path() const {
    return utf8FromPath(final_);
}

void OutputFile::putBack() {
    if (!aside_.empty()) {
        std::error_code ignored;
        std::filesystem::rename(aside_, final_, ignored);
        aside_.clear();
    }
}

bool publishAll(std::initializer_list<OutputFile*> files, std::string& error) {
    std::vector<OutputFile*> done;
    for (OutputFile* file : files) {
        if (!file->publish(error)) {
            for (OutputFile* earlier : done) {
                earlier->withdraw();
            }
            return false;
        }
        done.push_back(file);
    }
    for (OutputFile* file : done) {
        file->keep();
    }
    return true;
}

}  // namespace flashmere
