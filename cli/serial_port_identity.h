#pragma once

#include <string>

namespace flashmere::cli {

// The identity of a serial link: the device a serial port name opens, one
// text for every way of writing it (links with one identity are one link): on POSIX systems a name
// without a folder is taken from /dev, as the serial port opens it, and symbolic links are followed
// ("ttyS0",
// "/dev/ttyS0" and a link to it give the same); on Windows "com3" and
// "\\.\COM3" give "COM3".
std::string serialPortIdentity(const std::string& portName);

}  // namespace flashmere::cli
