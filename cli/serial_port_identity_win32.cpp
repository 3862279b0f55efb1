#include <algorithm>
#include <cctype>

#include "serial_port_identity.h"

namespace flashmere::cli {

std::string serialPortIdentity(const std::string& portName) {
    std::string name = portName;
    if (name.starts_with("\\\\.\\")) {
        name.erase(0, 4);
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name;
}

}  // namespace flashmere::cli
