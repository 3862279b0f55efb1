#pragma once

#include <cstdint>

namespace flashmere::cli {

// What the system lets this process take more of; 0 where it sets no limit
// that this system knows.
struct ProcessRoom {
    std::uint64_t openFiles = 0;        // descriptors it may have open at once
    std::uint64_t openFilesNow = 0;     // of those, open now
    bool openFilesAtHardLimit = false;  // only the administrator can raise it further
    std::uint64_t threads = 0;          // threads it may still start
    std::uint64_t memoryBytes = 0;      // memory it may still take
};

// Raises the soft limits of open files and of processes (which counts
// threads) to the hard limits, then tells the room there is. A limit the
// process cannot raise stays as it was.
ProcessRoom raiseProcessLimits();

}  // namespace flashmere::cli
