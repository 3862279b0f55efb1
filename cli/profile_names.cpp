// The words `info` prints for a model's profiles: the names the model
// family rows give them.
#include "profile_names.h"

#include "device/model_tables.h"
#include "firmware/model_family.h"

namespace flashmere::cli {

namespace {

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
    const ModelFamily* family = loaderFamilyFor(modelCode);
    return family ? family->programming->name : kNoProfile;
}

std::string verificationProfileName(std::uint16_t modelCode) {
    if (isTextFamily(modelCode)) {
        return kTextPath;
    }
    const ModelFamily* family = loaderFamilyFor(modelCode);
    return family ? family->verification->name : kNoProfile;
}

}  // namespace flashmere::cli
