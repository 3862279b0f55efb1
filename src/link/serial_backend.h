#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/transport.h"

namespace flashmere {

// The serial ports of this system, and opening one. One implementation per
// platform: QSerialPort on Linux, the Win32 communications API on Windows;
// CMake picks the file.

// What the system tells of one serial port; empty texts where it knows
// nothing (a port without USB has no vendor and product).
struct SerialPortEntry {
    std::string name;         // what the user types: "ttyUSB0", "COM3"
    std::string path;         // the device: "/dev/ttyUSB0", "\\.\COM3"
    std::string description;  // the driver's or the device's own name
    std::string manufacturer;
    std::string usbId;  // "vvvv:pppp" in hexadecimal, USB adapters only
    std::string serialNumber;
};

// The ports present right now, in the platform's order (Windows: by COM
// number). Ports come and go (USB adapters), so every call asks afresh.
std::vector<SerialPortEntry> listSerialPorts();

// The names the window offers when the system lists no port: the first
// ports the machine would have (Linux: ttyS0..ttyS7 and ttyUSB0..ttyUSB7;
// Windows: COM1..COM16), sixteen in all.
std::vector<std::string> fallbackSerialPortNames();

// Opens the port portName with the settings of modeString (see
// link/serial_mode.h). A mode string that does not parse, or a setting the
// port refuses, leaves the port's own setting and is reported through
// trace.linkNote. Returns nullptr, with nothing left open, when the port
// cannot be opened; *failure (when given) then says why and what to check.
std::unique_ptr<Transport> openSerialPort(const std::string& portName,
                                          const std::string& modeString, TraceSink& trace,
                                          std::string* failure);

}  // namespace flashmere
