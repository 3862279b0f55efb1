#pragma once

#include <cstdint>
#include <span>

namespace flashmere {

// The text family speaks text commands: code AND 0xFFF0 is 0x8800 or 0x8900.
// Every other model code speaks binary frames.
constexpr bool isTextFamily(std::uint16_t modelCode) {
    const auto group = modelCode & 0xFFF0;
    return group == 0x8800 || group == 0x8900;
}

// An inclusive range of model codes.
struct ModelCodeRange {
    std::uint16_t first;
    std::uint16_t last;
};

// Page size and page limit of a model family.
struct PageLayout {
    int pageSize;   // P: 256 or 128 bytes
    int pageLimit;  // L: pages at most
};

// How a page address travels in the 8-byte head of a page request.
enum class AddressForm {
    Bits24,  // bytes 5-7
    Bits16,  // bytes 6-7, byte 5 zero: addresses up to 0xFFFF only
};

// The command codes of a binary loader.
struct CommandSet {
    std::uint16_t erase;
    std::uint16_t program;
    std::uint16_t read;
    std::uint16_t mode;  // loader mode at identification, start of the program after an upgrade
};
inline constexpr CommandSet kStandardCommands{
    .erase = 0x003B, .program = 0x0039, .read = 0x003A, .mode = 0x0038};
inline constexpr CommandSet kCommands6039{
    .erase = 0x603B, .program = 0x6039, .read = 0x603A, .mode = 0x6038};
inline constexpr CommandSet kCommands605B{
    .erase = 0x605D, .program = 0x605B, .read = 0x605C, .mode = 0x605A};

// Before which pages programming erases the block that begins there.
enum class EraseRule {
    Never,       // pages are written over as they are
    EveryNth,    // pageIndex mod eraseInterval = 0
    FirstOrOdd,  // pageIndex = 0 or pageIndex odd
};

// How programming writes a binary model's pages: addresses, erase plan and
// pauses. The page size and command codes are the family's.
struct ProgramProfile {
    const char* name;               // what `info` prints
    std::uint32_t baseAddress = 0;  // address of page 0
    AddressForm form = AddressForm::Bits24;
    EraseRule eraseRule = EraseRule::EveryNth;
    int eraseInterval = 0;  // pages, for EveryNth
    int eraseRetryPauseMs = 0;
    int pauseBeforeHelloMs = 20;
    int pauseAfterHelloMs = 20;
    int pauseBeforeEraseMs = 10;
    int extraPauseAfterEraseMs = 0;  // after the 50 ms that follow every answered erase
    int pauseAfterPageMs = 0;
    bool tracePages = false;  // show each page's data in the page trace
};

// How verification paces a page's read attempts and its progress.
enum class VerifyStyle {
    Patient,   // many attempts, each after a pause; the line trace emptied per page
    Quick,     // no pause before a page
    Standard,  // progress shows the failing page too
};

// How verification reads a binary model's pages back. The page size, base
// address and read command are the family's.
struct VerifyProfile {
    const char* name;  // what `info` prints
    VerifyStyle style;
    AddressForm form = AddressForm::Bits24;
    int attempts = 3;
    int pauseBeforeAttemptMs = 0;
    int retryPauseMs = 200;
};

// Identification's version query of a group 0x83 or 0x84 model.
struct VersionQuery {
    std::uint16_t command = 0;  // 0: none, the group check only
    int attempts = 0;
};

// How identification wakes a binary device before asking its model.
enum class Wakeup {
    AsOptionsSay,  // TAB frames and Zx commands when the options ask for them
    ResetFrame,    // the 0xAA reset frame, then the link is reopened
};

// Everything that differs between model families, one row per family.
struct ModelFamily {
    std::span<const ModelCodeRange> codes;  // empty: every other code
    PageLayout layout = {.pageSize = 256, .pageLimit = 128};
    CommandSet commands = kStandardCommands;
    // None for the text family (its path is fixed) and for group models
    // without loader commands: such models cannot be programmed.
    const ProgramProfile* programming = nullptr;
    const VerifyProfile* verification = nullptr;
    VersionQuery versionQuery = {};
    int rebootSeconds = 0;  // wait after the start request
    Wakeup wakeup = Wakeup::AsOptionsSay;
};

// Every family; no code is named by two rows, and the last row (no codes)
// takes every code the others do not name.
std::span<const ModelFamily> modelFamilies();

const ModelFamily& modelFamilyFor(std::uint16_t modelCode);

// The page layout of a model code's family.
PageLayout pageLayoutFor(std::uint16_t modelCode);

}  // namespace flashmere
