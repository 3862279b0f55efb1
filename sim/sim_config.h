#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashmere {

// Serial line timing: every byte costs start + data + parity + stop bits.
struct LineMode {
    std::uint32_t baud = 19200;
    char parity = 'e';  // n, e, o, m, s
    int dataBits = 8;
    double stopBits = 1.0;

    double bitsPerChar() const;
    // Milliseconds one character occupies the line.
    double msPerByte() const;
};

// "19200,e,8,1": baud, parity letter, data bits (5-8), stop bits (1, 1.5, 2).
std::optional<LineMode> parseLineMode(std::string_view text);

// What a scripted fault rule selects.
enum class FaultTarget {
    Program,           // program:N  (binary program page N, or text YP of page N)
    Erase,             // erase:N    (erase request whose address is page N)
    Read,              // read:N     (binary read page N, or text YV of page N)
    Command,           // cmd:HEX    (any binary request with that command code)
    Text,              // text:CODE  (any text request with that code: AS, AS1, YR, Zx ...)
    CorruptPage,       // corrupt-page:N
    SilentAfterPages,  // silent-after-pages:N
    RebootAtPage,      // reboot-at-page:N
};

enum class FaultAction {
    Fail,     // fail=K: the first K matching requests are not heard (no effect, no reply)
    Never,    // never: no matching request is ever heard
    Delay,    // delay=MS: every matching reply leaves MS later
    Corrupt,  // corrupt=K: the replies to the first K matching requests carry a flipped byte
    Short,    // short=K: the replies to the first K matching requests stop after 8 payload bytes
    None,     // the three stand-alone rules take no action part
};

struct FaultRule {
    FaultTarget target = FaultTarget::Program;
    std::uint32_t index = 0;  // page index, command code or stand-alone count
    std::string textCode;     // FaultTarget::Text only
    FaultAction action = FaultAction::None;
    std::int64_t amount = 0;  // K or MS
    std::string source;       // the rule as written
};

// Parses one rule such as "program:7:fail=3"; on error returns nullopt and
// puts a message into *error when given.
std::optional<FaultRule> parseFaultRule(std::string_view text, std::string* error = nullptr);

// The rule syntax, for --help and error messages.
extern const char* const kFaultRuleHelp;

// Transport faults, all drawn from one generator seeded by SimConfig::seed.
struct SimFaults {
    double dropProbability = 0.0;     // reply computed and applied, then lost on the line
    double corruptProbability = 0.0;  // one reply byte XORed with a non-zero value
    // Split every reply into 2..4 pieces with gaps drawn from [min, max] ms.
    std::optional<std::pair<std::int64_t, std::int64_t>> splitGapMs;
    int noiseBytes = 0;             // junk bytes (never 0x06 or 0x03) right before every reply
    int staleBytes = 0;             // unsolicited bytes 1 ms after every reply (a copy of its head)
    int disconnectAfterFrames = 0;  // 0 = never; once, after the Nth request frame
    int silentFirstAttempts = 0;    // the first N copies of every distinct request are not heard
    std::vector<FaultRule> rules;
};

// How the simulated memory starts out.
enum class InitialMemory {
    OldFirmware,  // a deterministic non-0xFF pattern, so a missing erase shows on verify
    Erased,       // all 0xFF
};

struct SimConfig {
    std::uint16_t model = 0x8401;  // the device's true model code; selects the memory layout
    std::uint16_t id = 1;          // device address
    std::optional<std::uint16_t> pin;
    std::uint32_t serialNumber = 0x12345678;
    std::string name = "SIMDEVICE";  // at most 12 printable characters
    std::uint16_t version = 0x0100;
    std::uint16_t isp = 0x0001;
    // Code the device reports when it differs from its family (0x8503 for a 0x8501).
    std::optional<std::uint16_t> reportModel;
    // Version the device reports after it started a new program.
    std::optional<std::uint16_t> versionAfterRun;
    std::int64_t rebootMs = 3000;  // silence after the start command
    // After each start's silence another unit answers: the serial number one
    // higher, the memory and version the first unit had (a bench where the
    // technician swaps the device during the reboot).
    bool swapUnits = false;
    std::int64_t resetMs = 2000;   // silence after the 0xAA frame (0x0171, 0x0181)
    std::int64_t latencyMs = 2;    // from the request's last byte to the reply's first
    std::int64_t eraseBusyMs = 0;  // extra time an erase takes before its reply
    std::int64_t programBusyMs = 0;
    std::optional<LineMode> line;  // pace both directions like a serial line
    // Erase and program requests are heard only after the mode command 6D 2E.
    bool loaderGate = true;
    // 0x0001, 0x0002, 0x0003 to address 1 and the text AS/AS1 query to any
    // address are answered, so a tool can find a device whose ID it does not know.
    bool discoveryQueries = true;
    InitialMemory initialMemory = InitialMemory::OldFirmware;
    SimFaults faults;
    std::uint64_t seed = 1;
};

// nullopt when the configuration is usable, otherwise the reason.
std::optional<std::string> checkSimConfig(const SimConfig& config);

}  // namespace flashmere
