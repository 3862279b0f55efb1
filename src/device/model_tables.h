#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "firmware/model_family.h"

namespace flashmere {

// The lookups the device work makes by model code. The facts themselves
// are the rows of the model families (firmware/model_family.h); each lookup
// takes the model code of the firmware file unless said otherwise.

// The accepted codes and their normalisation: knownModelRanges, isKnownModel
// and normalizeModel (firmware/model_family.h).

// Identification's version query and mode command of the binary family.
struct GroupCommands {
    std::uint16_t versionQuery;  // 0: none
    int versionAttempts;
    std::uint16_t modeCommand;
};
GroupCommands groupCommandsFor(std::uint16_t model);

// The family of a binary model code that programming and verification can
// serve; none for a text model and for a code of groups 0x83 and 0x84 that
// has no command codes of its own.
const ModelFamily* loaderFamilyFor(std::uint16_t model);

// Why programming cannot take an image of `pageCount` pages for the model,
// or empty when it can: a binary model without command codes, or a last page
// whose address the row's 16-bit form cannot carry (wrapping would overwrite
// the first pages). The one rule: the upgrade refuses an image by it before
// programming, and `pack` and `info` judge files by it.
std::optional<std::string> programmingRefusal(std::uint16_t model, int pageCount);

// The run request that starts the new program, and the reboot wait after it.
struct RunCommand {
    std::uint16_t command;  // 0: no request
    int rebootSeconds;      // 0: no wait
};
RunCommand runCommandFor(std::uint16_t model);

}  // namespace flashmere
