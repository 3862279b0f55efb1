#pragma once

#include <cstdint>
#include <string>

namespace flashmere::cli {

// How the upgrade treats a model code, in words for `info`: the protocol
// path and the names of its programming and verification profiles.
std::string protocolPathName(std::uint16_t modelCode);
std::string programmingProfileName(std::uint16_t modelCode);
std::string verificationProfileName(std::uint16_t modelCode);

}  // namespace flashmere::cli
