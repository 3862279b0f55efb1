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

// Codes a device reports for one model: identification takes a reported code
// in first..last as `model` (normalisation), before it checks the code.
struct ReportedCodes {
    std::uint16_t first;
    std::uint16_t last;
    std::uint16_t model;
};
// The variants of a model report its code plus 1 to 14.
constexpr ReportedCodes variantsOf(std::uint16_t model) {
    return {model, static_cast<std::uint16_t>(model + 14), model};
}

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

// How identification learns a binary device's versions after its model.
enum class VersionCheck {
    NameReply,  // the name-and-versions reply must come
    // Groups 0x83 and 0x84: the name-and-versions reply may stay away; then
    // the row's version query (versionQuery), or without one the device's
    // code group (code AND 0xFFF0) must be the file's.
    GroupQuery,
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
    None,          // groups 0x83 and 0x84: no wake-up frames, whatever the options say
};

// Everything that differs between model families, one row per family: the
// one place that holds a model's facts (README, "Adding a model").
struct ModelFamily {
    std::span<const ModelCodeRange> codes;  // empty: every other code
    // Identification takes a device that reports one of `codes` (after
    // reportedAs); a row that is not accepted only serves files of its codes.
    bool accepted = true;
    std::span<const ReportedCodes> reportedAs = {};  // other codes its devices report
    PageLayout layout = {.pageSize = 256, .pageLimit = 128};
    CommandSet commands = kStandardCommands;
    // None for the text family (its path is fixed) and for group models
    // without loader commands: such models cannot be programmed.
    const ProgramProfile* programming = nullptr;
    const VerifyProfile* verification = nullptr;
    VersionQuery versionQuery = {};
    int rebootSeconds = 0;  // wait after the start request
    Wakeup wakeup = Wakeup::AsOptionsSay;
    VersionCheck versionCheck = VersionCheck::NameReply;
    // Group 0x84: a file that names hardware variant C1 or C3 is only for a
    // device whose loader version carries the same tag (both rows' flag).
    bool variantTagged = false;
    // The service functions (query, erase, read-back) serve this row's one
    // code; the erase sends the programming profile's erase request every
    // eraseInterval pages, with its address form and the row's page size.
    bool serviceFunctions = false;
};

// Every family; no code is named by two rows, and the last row (no codes)
// takes every code the others do not name.
std::span<const ModelFamily> modelFamilies();

const ModelFamily& modelFamilyFor(std::uint16_t modelCode);

// The page layout of a model code's family.
PageLayout pageLayoutFor(std::uint16_t modelCode);

// The model codes identification accepts (after normalisation): the codes
// of the accepted rows, ascending, adjacent ranges joined.
std::span<const ModelCodeRange> knownModelRanges();
bool isKnownModel(std::uint16_t model);

// The code a reported code stands for, by the rows' reportedAs (variants of
// a model report its code plus 1 to 14; 0x0105 stands for 0x0101); every
// other code stays.
std::uint16_t normalizeModel(std::uint16_t reported);

// The one row the service functions serve, and its model code.
const ModelFamily& serviceFamily();
std::uint16_t serviceModelCode();

// Whether programming erases the block that begins at the page before it
// writes the page: the profile's erase rule.
bool erasesBefore(const ProgramProfile& profile, int pageIndex);

}  // namespace flashmere
