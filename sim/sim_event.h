#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flashmere {

// Bytes the device puts on the line at atMs, or (disconnect) the moment it
// drops a TCP connection.
struct SimOutput {
    std::int64_t atMs = 0;
    std::vector<std::uint8_t> bytes;
    bool disconnect = false;
};

enum class SimFrameKind { None, Binary, Text, Tab, AA, Fixed };

enum class SimEventType {
    Request,     // a complete, well-formed frame arrived
    Reply,       // the device answered (payload, flags in note)
    NoReply,     // the device stayed silent; note says why
    Noise,       // bytes that formed no frame were dropped
    Flush,       // the host discarded waiting bytes (in-process transport only)
    Disconnect,  // the device dropped the connection
    Reboot,      // the device restarts and stays silent (note: start or reset)
    LinkOpened,
    LinkClosed,
};

const char* toString(SimFrameKind kind);
const char* toString(SimEventType type);

// One line of the device's transcript.
struct SimEvent {
    std::int64_t atMs = 0;
    SimEventType type = SimEventType::Request;
    SimFrameKind kind = SimFrameKind::None;
    std::uint16_t address = 0;
    std::uint16_t command = 0;  // binary command or reply code
    std::optional<std::uint16_t> pin;
    std::string text;                   // text command, text reply code + payload, TAB text
    std::vector<std::uint8_t> payload;  // binary payload, AA data, noise bytes
    std::optional<std::uint32_t> pageAddress;
    std::string note;
    std::size_t bytes = 0;  // size on the line
};

// One JSON object without a line end.
std::string toJsonLine(const SimEvent& event);

}  // namespace flashmere
