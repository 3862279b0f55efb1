#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace flashmere {

enum class SerialParity : std::uint8_t { None, Even, Odd, Mark, Space };
enum class SerialStopBits : std::uint8_t { One, OneAndHalf, Two };

// The serial settings a mode string names. A field the string leaves out is
// empty: the port keeps its current value for it.
struct SerialMode {
    std::optional<std::uint32_t> baudRate;
    std::optional<SerialParity> parity;
    std::optional<std::uint8_t> dataBits;  // 5 to 8
    std::optional<SerialStopBits> stopBits;

    bool operator==(const SerialMode&) const = default;
};

constexpr std::uint32_t kMinBaudRate = 110;
constexpr std::uint32_t kMaxBaudRate = 4'000'000;

// Reads a serial mode string in either of its two forms:
//   short  "19200,e,8,1"  baud[,parity[,data[,stop]]]
//   long   "baud=19200 parity=e data=8 stop=1"  keys in any case and order,
//          any subset; to=, xon=, odsr=, octs=, dtr=, rts= and idsr= are
//          checked and otherwise ignored (the link never drives them).
// Parity is one of n e o m s (any case), data bits 5 to 8, stop bits 1, 1.5
// or 2. The two-digit baud abbreviations 11 15 30 60 12 24 48 96 19 stand
// for 110 ... 19200; any other baud rate is a decimal number from 110 to
// 4000000. Five data bits with two stop bits and six to eight data bits with
// one and a half stop bits are refused: no port can run them. Anything else
// gives nullopt.
std::optional<SerialMode> parseSerialMode(std::string_view text);

}  // namespace flashmere
