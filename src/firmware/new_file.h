#pragma once

#include <cstdio>
#include <string>

namespace flashmere {

// Creates path and opens it for binary writing, only when nothing is there
// yet: an existing file is never opened, let alone truncated. nullptr with
// errno set when the file exists or cannot be created. The Windows C runtime
// ignores fopen's "x", so this is the one place that knows how each system
// says "create, never overwrite".
std::FILE* createNewBinaryFile(const std::string& path);

}  // namespace flashmere
