#pragma once

#include <string>
#include <string_view>

namespace flashmere {

// Text from a device or a file made inert for one line of output: every
// byte outside printable ASCII, and the backslash, as \xNN.
std::string escapeBytes(std::string_view text);

}  // namespace flashmere
