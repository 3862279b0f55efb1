#include <windows.h>

#include "process_room.h"

namespace flashmere::cli {

// Sockets and ports are handles on Windows, with no per-process limit that
// a fleet could reach; threads are bounded by memory alone.
ProcessRoom raiseProcessLimits() {
    ProcessRoom room;
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status) != 0) {
        room.memoryBytes = static_cast<std::uint64_t>(status.ullAvailPhys);
    }
    return room;
}

}  // namespace flashmere::cli
