#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "firmware/model_family.h"

namespace flashmere {

// Everything that differs between device model families, as data. Each
// lookup takes the model code of the firmware file unless said otherwise.

// Groups 0x83 and 0x84: value AND 0xFFF0 is 0x8300 or 0x8400.
bool isGroup83(std::uint16_t model);
bool isGroup84(std::uint16_t model);

// An inclusive range of model codes.
struct ModelCodeRange {
    std::uint16_t first;
    std::uint16_t last;
};

// The model codes identification accepts (after normalisation), ascending.
std::span<const ModelCodeRange> knownModelRanges();

// A reported code in b..b+14 becomes b for the family bases; 0x0105 becomes
// 0x0101; every other code stays.
std::uint16_t normalizeModel(std::uint16_t reported);
// The model codes (after normalisation) a device may report.
bool isKnownModel(std::uint16_t model);

// Identification's version query and mode command of the binary family.
struct GroupCommands {
    std::uint16_t versionQuery;  // 0: none
    int versionAttempts;
    std::uint16_t modeCommand;
};
GroupCommands groupCommandsFor(std::uint16_t model);

enum class AddressForm { Bits24, Bits16 };

// How a page's erase block is chosen.
enum class EraseRule {
    Never,
    EveryNth,   // pageIndex mod eraseInterval = 0
    FirstOrOdd  // pageIndex = 0 or pageIndex odd
};

// One row of the programming profiles of the binary path.
struct ProgramProfile {
    int row;
    int pageSize;
    std::uint32_t baseAddress;
    AddressForm form;
    EraseRule eraseRule;
    int eraseInterval;
    std::uint16_t eraseCommand;
    std::uint16_t programCommand;
    int eraseRetryPauseMs;
    int pauseBeforeHelloMs;
    int pauseAfterHelloMs;
    bool pauseBeforeErase;      // 10 ms before every erase request
    bool extraPauseAfterErase;  // 1 ms more after an answered erase
    bool extraPauseAfterPage;   // 1 ms after every page
    bool tracePage;             // show the page data in edtPage1
};
// The programming row for a model code of the binary path; none for a code
// of groups 0x83 and 0x84 that has no command codes of its own.
std::optional<ProgramProfile> programProfileFor(std::uint16_t model);

// Why programming cannot take an image of `pageCount` pages for the model,
// or empty when it can: a binary model without command codes, or a last page
// whose address the row's 16-bit form cannot carry (wrapping would overwrite
// the first pages). The upgrade, `pack` and `info` judge files by it.
std::optional<std::string> programmingRefusal(std::uint16_t model, int pageCount);

// How a page's read-back runs.
enum class VerifyStyle {
    Patient,   // V1, V4: many attempts, each after 100 ms
    Quick,     // V2, V3, V5, V6: 128-byte pages
    Standard,  // V7, V8
};

struct VerifyProfile {
    int row;  // 1..8 for V1..V8
    VerifyStyle style;
    std::uint16_t readCommand;
    int pageSize;
    std::uint32_t baseAddress;
    AddressForm form;
    int attempts;
    int pauseBeforeAttemptMs;
    int retryPauseMs;
};
std::optional<VerifyProfile> verifyProfileFor(std::uint16_t model);

// The run request that starts the new program, and the reboot wait after it.
struct RunCommand {
    std::uint16_t command;  // 0: no request
    int rebootSeconds;      // 0: no wait
};
RunCommand runCommandFor(std::uint16_t model);

}  // namespace flashmere
