#include "firmware/new_file.h"

namespace flashmere {

// fopen's "x": C11 and POSIX create the file only when nothing is there.
std::FILE* createNewBinaryFile(const std::string& path) {
    return std::fopen(path.c_str(), "wbx");
}

}  // namespace flashmere
