#pragma once

#include <string>

namespace flashmere {

// The operator's words about a serial port, the same for every serial
// backend, so a port fails alike on every system.

// Text from outside (a port name, a settings string) as it may appear in a
// note: printable ASCII, at most 80 characters.
std::string shownInNote(const std::string& text);

// The note for a port name the system does not know.
std::string serialMissingNote(const std::string& portName);

// The note for a port the system refused although it exists: another
// program holds it.
std::string serialInUseNote(const std::string& portName);

// The link notes for a settings string that does not parse, and for
// settings the port refused (refused: "parity, stop bits").
std::string serialModeNotUnderstoodNote(const std::string& modeString);
std::string serialModeRefusedNote(const std::string& modeString, const std::string& portName,
                                  const std::string& refused);

// What lossNote() says of a port that failed or hung up, after the system's
// own words.
std::string serialLossNote(const std::string& systemText);

}  // namespace flashmere
