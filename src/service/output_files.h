#pragma once

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace flashmere {

// Why nothing can be put at path: something that is not a file (a folder, a
// device, a pipe) has that name. Empty when a file may go there.
std::string nameInTheWay(const std::filesystem::path& path);

// One output file, written under a fresh "<name>.part" and renamed when
// complete. A file that had the name before is kept aside until the whole
// set is published, and put back when the set fails. Its bytes are held in
// memory until finish (a read-back's files are a few hundred kilobytes):
// a folder moved away or deleted meanwhile gets no file, finished or not.
class OutputFile {
  public:
    OutputFile(const std::string& folder, const char* name);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False when the part file could not be created in the folder.
    bool ok() const { return !part_.empty() && openError_ == 0; }
    // Why it could not: the system's reason, after ": ".
    std::string openProblem() const;
    void write(const void* data, std::size_t n) {
        bytes_.append(static_cast<const char*>(data), n);
    }
    void writeLines(const std::vector<std::string>& lines);
    // Writes the part file; false (with the system's reason) when it failed.
    bool finish(std::string& error);
    // Gives the finished file its name.
    bool publish(std::string& error);
    // Takes a published file back, when a later one of the set failed: the
    // file that had the name before has it again.
    void withdraw();
    // The whole set is published: the earlier file is no longer needed.
    void keep();
    std::string path() const;

  private:
    void putBack();

    std::filesystem::path final_;
    std::filesystem::path part_;
    std::filesystem::path aside_;
    std::string bytes_;
    int openError_ = 0;
    bool written_ = false;  // the part file holds the bytes
    bool published_ = false;
};

// Publishes the set: all files get their names, or none does and the folder
// is as it was.
bool publishAll(std::initializer_list<OutputFile*> files, std::string& error);

}  // namespace flashmere
