#pragma once

#include <cstdint>

namespace flashmere {

// User plus system time of the whole process so far in ms, -1 if the system
// does not say. One file per system (process_cpu_time_posix.cpp, _win32.cpp).
std::int64_t processCpuMs();

}  // namespace flashmere
