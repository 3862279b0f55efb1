#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "process_room.h"

namespace flashmere::cli {
namespace {

// The soft limit after raising it to the hard one; 0 for none.
std::uint64_t raisedLimit(int resource, bool* atHard = nullptr) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(resource, &raised) == 0) {
            limit = raised;
        }
    }
    if (atHard != nullptr) {
        *atHard = limit.rlim_cur == limit.rlim_max;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint64_t openDescriptors() {
    std::error_code error;
    std::uint64_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return count > 0 ? count - 1 : 0;  // the listing's own descriptor
}

// The number after "Key:" in a /proc file of such lines; 0 when missing.
std::uint64_t procField(const char* path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            try {
                return std::stoull(line.substr(key.size() + 1));
            } catch (const std::exception&) {
                return 0;
            }
        }
    }
    return 0;
}

// Threads the kernel may still start: its maximum less every thread of the
// system now (the fourth field of /proc/loadavg, "running/all").
std::uint64_t kernelThreadsLeft() {
    std::uint64_t maximum = 0;
    std::ifstream("/proc/sys/kernel/threads-max") >> maximum;
    std::ifstream loadavg("/proc/loadavg");
    std::string field;
    for (int i = 0; i < 4 && loadavg >> field; ++i) {
    }
    const auto slash = field.find('/');
    const std::uint64_t all =
        slash == std::string::npos ? 0 : std::strtoull(field.c_str() + slash + 1, nullptr, 10);
    return maximum == 0 ? 0 : maximum > all ? maximum - all : 1;
}

// What is left of a limit (0: none) with `used` of it taken, at least 1.
std::uint64_t leftOf(std::uint64_t limit, std::uint64_t used) {
    return limit == 0 ? 0 : limit > used ? limit - used : 1;
}

std::uint64_t fewest(std::uint64_t a, std::uint64_t b) {
    return a == 0 ? b : b == 0 ? a : std::min(a, b);
}

}  // namespace

ProcessRoom raiseProcessLimits() {
    ProcessRoom room;
    room.openFiles = raisedLimit(RLIMIT_NOFILE, &room.openFilesAtHardLimit);
    room.openFilesNow = openDescriptors();
    // The process limit counts every thread of the user; this process's
    // own are the part that is known.
    const std::uint64_t processes = raisedLimit(RLIMIT_NPROC);
    const std::uint64_t own = procField("/proc/self/status", "Threads");
    room.threads = fewest(leftOf(processes, own), kernelThreadsLeft());
    const std::uint64_t available = procField("/proc/meminfo", "MemAvailable") * 1024;
    const std::uint64_t addressSpace = raisedLimit(RLIMIT_AS);
    const std::uint64_t mapped = procField("/proc/self/status", "VmSize") * 1024;
    room.memoryBytes = fewest(available, leftOf(addressSpace, mapped));
    return room;
}

}  // namespace flashmere::cli
