#include <sys/resource.h>

#include "shell/process_cpu_time.h"

namespace flashmere {

std::int64_t processCpuMs() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return -1;
    }
    const auto ms = [](const timeval& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000 +
               static_cast<std::int64_t>(t.tv_usec) / 1000;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace flashmere
