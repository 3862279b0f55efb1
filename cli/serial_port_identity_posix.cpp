#include <filesystem>
#include <system_error>

#include "firmware/file_path.h"
#include "serial_port_identity.h"

namespace flashmere::cli {

std::string serialPortIdentity(const std::string& portName) {
    const bool hasFolder =
        portName.starts_with('/') || portName.starts_with("./") || portName.starts_with("../");
    const std::string path = hasFolder ? portName : "/dev/" + portName;
    std::error_code error;
    const std::filesystem::path resolved =
        std::filesystem::weakly_canonical(pathFromUtf8(path), error);
    return error ? path : utf8FromPath(resolved);
}

}  // namespace flashmere::cli
