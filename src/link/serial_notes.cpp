#include "link/serial_notes.h"

namespace flashmere {

std::string shownInNote(const std::string& text) {
    constexpr std::size_t kMaxShown = 80;
    std::string out;
    for (char c : text.substr(0, kMaxShown)) {
        const auto u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7F) ? c : '?';
    }
    if (text.size() > kMaxShown) {
        out += "...";
    }
    return out;
}

std::string serialInUseNote(const std::string& portName) {
    return shownInNote(portName) + " is in use by another program";
}

std::string serialMissingNote(const std::string& portName) {
    return "no port " + shownInNote(portName) +
           " on this system: is the adapter plugged in, and is the port name right?";
}

std::string serialModeNotUnderstoodNote(const std::string& modeString) {
    return "serial settings \"" + shownInNote(modeString) +
           "\" not understood; the port keeps its current settings";
}

std::string serialModeRefusedNote(const std::string& modeString, const std::string& portName,
                                  const std::string& refused) {
    return "serial settings \"" + shownInNote(modeString) + "\": " + shownInNote(portName) +
           " refused the " + refused + "; the port keeps its own for those";
}

std::string serialLossNote(const std::string& systemText) {
    return "serial port error or hang-up: " + systemText;
}

}  // namespace flashmere
