#pragma once

#include <unistd.h>

#include <algorithm>
#include <string>

namespace flashmere {

// Whether a serial-port lock names the terminal at path: the "LCK..pts_3"
// file for /dev/pts/3 that Qt and terminal programs keep in /var/lock (or
// /tmp). A process may still hold the port of a pseudo-terminal whose other
// side has closed; its number is then free for a new terminal, which the
// lock bars: such a number is passed over.
inline bool serialLockHeld(const std::string& path) {
    std::string name = path.starts_with("/dev/") ? path.substr(5) : path;
    std::replace(name.begin(), name.end(), '/', '_');
    return ::access(("/var/lock/LCK.." + name).c_str(), F_OK) == 0 ||
           ::access(("/tmp/LCK.." + name).c_str(), F_OK) == 0;
}

}  // namespace flashmere
