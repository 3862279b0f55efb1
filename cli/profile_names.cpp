// The words `info` prints for the upgrade's profile rows. The rows come from
// the upgrade's own tables; only their descriptions live here.
#include "profile_names.h"

#include <array>

#include "device/model_tables.h"
#include "firmware/model_family.h"

namespace flashmere::cli {

namespace {

// The model codes each programming row names, for the reader.
constexpr std::array<const char*, 12> kProgramRowCodes = {
    "0x8401",
    "0x8400",
    "0x8402",
    "0x8303",
    "0x8302",
    "0x8301",
    "0x8461, 0x8462, 0x0171, 0x0181",
    "0x8101, 0x8102, 0x8111",
    "0x0131-0x0134",
    "0x0151, 0x8411, 0x8421, 0x8425, 0x8431, 0x8441, 0x8451, 0x8471, 0x8472",
    "models that are never erased",
    "every other model code",
};

constexpr const char* kTextPath = "text path";
constexpr const char* kNoProfile = "none (no command codes for this model code)";

}  // namespace

std::string protocolPathName(std::uint16_t modelCode) {
    return isTextFamily(modelCode) ? "text" : "binary";
}

std::string programmingProfileName(std::uint16_t modelCode) {
    if (isTextFamily(modelCode)) {
        return kTextPath;
    }
    const auto profile = programProfileFor(modelCode);
    if (!profile || profile->row < 1 || profile->row > static_cast<int>(kProgramRowCodes.size())) {
        return kNoProfile;
    }
    return "row " + std::to_string(profile->row) + " (" +
           kProgramRowCodes[static_cast<std::size_t>(profile->row - 1)] + ")";
}

std::string verificationProfileName(std::uint16_t modelCode) {
    if (isTextFamily(modelCode)) {
        return kTextPath;
    }
    const auto profile = verifyProfileFor(modelCode);
    if (!profile) {
        return kNoProfile;
    }
    return "V" + std::to_string(profile->row);
}

}  // namespace flashmere::cli
