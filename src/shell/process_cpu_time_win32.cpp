#include <windows.h>

#include "shell/process_cpu_time.h"

namespace flashmere {

std::int64_t processCpuMs() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user) == 0) {
        return -1;
    }
    // FILETIME counts 100 ns steps.
    const auto ms = [](const FILETIME& t) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                         t.dwLowDateTime) /
               10000;
    };
    return ms(kernel) + ms(user);
}

}  // namespace flashmere
